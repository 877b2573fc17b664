// Vesk local page: submits jobs, follows them, shows their outputs and takes completion
// decisions; the pilot section uploads a PDF or PNG, takes the operator's review of every
// candidate and shows the PILOT/HOLD outputs. Every text from the service is set with
// textContent, never parsed as HTML.
"use strict";

(function () {
  const POLL_MS = 1000;
  const state = { provider: "disabled", jobId: null, timer: null, decisions: 0 };

  const $ = (id) => document.getElementById(id);

  function el(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined && text !== null) node.textContent = String(text);
    return node;
  }

  function show(node, visible) {
    node.classList.toggle("hidden", !visible);
  }

  // A number as people write it: at most `decimals` decimals, trailing zeros dropped. The
  // files keep the exact values; only the page rounds.
  function num(value, decimals = 6) {
    if (typeof value !== "number" || !Number.isFinite(value)) return String(value);
    const rounded = Number(value.toFixed(decimals));
    return rounded === 0 && value !== 0 ? String(Number(value.toPrecision(3))) : String(rounded);
  }

  // The current job and pilot job live in the URL fragment ("#job-00000003&pilot-00000001"),
  // so a reload follows them again.
  function writeFragment() {
    const ids = [state.jobId, pilot.jobId].filter(Boolean);
    history.replaceState(null, "", ids.length ? "#" + ids.join("&") : location.pathname + location.search);
  }

  function restoreFragment() {
    for (const id of location.hash.slice(1).split("&")) {
      if (/^job-[0-9]+$/.test(id) && id !== state.jobId) followJob(id);
      if (/^pilot-[0-9]+$/.test(id) && id !== pilot.jobId) resumePilot(id);
    }
  }

  // Reads a JSON answer; an error document becomes an Error carrying its message.
  async function requestJson(method, url, body) {
    const init = { method, headers: {} };
    if (body !== undefined) {
      init.headers["Content-Type"] = "application/json";
      init.body = JSON.stringify(body);
    }
    const response = await fetch(url, init);
    let doc = null;
    try {
      doc = await response.json();
    } catch (e) {
      throw new Error("The service answered " + response.status + " without a JSON document");
    }
    if (!response.ok) {
      const err = doc && doc.error ? doc.error : { code: "http_" + response.status, message: "Request failed" };
      const error = new Error(err.message);
      error.code = err.code;
      error.status = response.status;
      throw error;
    }
    return { status: response.status, doc };
  }

  // Keeps a client file name inside the service's safe-basename rule (and its length limit).
  function safeName(name, extension, fallback, limit = 128) {
    let base = String(name || "").replace(/[^A-Za-z0-9._-]/g, "_").replace(/^\.+/, "");
    if (!base.toLowerCase().endsWith(extension)) base += extension;
    if (base.length === extension.length) base = fallback + extension;
    if (base.length > limit) base = base.slice(0, limit - extension.length) + extension;
    return base;
  }

  function readAsBase64(file) {
    return new Promise((resolve, reject) => {
      const reader = new FileReader();
      reader.onload = () => {
        const url = String(reader.result);
        resolve(url.slice(url.indexOf(",") + 1));
      };
      reader.onerror = () => reject(new Error("Cannot read " + file.name));
      reader.readAsDataURL(file);
    });
  }

  function readAsText(file) {
    return new Promise((resolve, reject) => {
      const reader = new FileReader();
      reader.onload = () => resolve(String(reader.result));
      reader.onerror = () => reject(new Error("Cannot read " + file.name));
      reader.readAsText(file);
    });
  }

  async function loadHealth() {
    try {
      const { doc } = await requestJson("GET", "/health");
      state.provider = doc.reader_provider;
      show($("pilot-provider-note"), doc.reader_provider === "disabled");
      $("health").textContent = "Local service on port " + doc.port + " · reader provider: " + doc.reader_provider;
      document.querySelectorAll(".file-provider-hint").forEach((hint) => show(hint, doc.reader_provider === "file"));
      const reader = doc.reader_provider !== "disabled";
      show($("dpi-field"), reader);
      $("graph-hint").textContent = reader
        ? "Optional: without a graph the reader provider reads the drawing's dimensions."
        : "Required while no reader provider is configured.";
    } catch (e) {
      $("health").textContent = "The local service does not answer: " + e.message;
    }
  }

  // A form's submit handler: its button waits for the answer, and a failure shows beside it.
  function submitHandler(buttonId, errorId, work) {
    return async (event) => {
      event.preventDefault();
      const error = $(errorId);
      const button = $(buttonId);
      error.textContent = "";
      button.disabled = true;
      try {
        await work();
      } catch (e) {
        error.textContent = e.message;
      } finally {
        button.disabled = false;
      }
    };
  }

  async function submitJob() {
    const drawingId = $("drawing-id").value.trim();
    const source = $("source-file").files[0];
    const graphFile = $("graph-file").files[0];
    if (!drawingId) throw new Error("Enter a drawing id");
    if (!source) throw new Error("Choose the drawing's PNG file");
    const body = {
      schema_version: "vesk-local-job-v1",
      drawing_id: drawingId,
      graph_filename: safeName(graphFile ? graphFile.name : drawingId, ".json", "graph"),
      source_image: {
        filename: safeName(source.name, ".png", "drawing"),
        media_type: "image/png",
        data_base64: await readAsBase64(source),
      },
    };
    if (graphFile) {
      try {
        body.graph = JSON.parse(await readAsText(graphFile));
      } catch (e) {
        throw new Error("The graph file is not valid JSON: " + e.message);
      }
    } else {
      body.declared_dpi = Number($("declared-dpi").value);
    }
    const { doc } = await requestJson("POST", "/api/jobs", body);
    followJob(doc.job_id);
  }

  function followJob(jobId) {
    // A rerun of the same job keeps its decisions in view while it runs.
    if (jobId !== state.jobId) renderRecords([]);
    state.jobId = jobId;
    writeFragment();
    if (state.timer) clearTimeout(state.timer);
    show($("job-section"), true);
    show($("result"), false);
    show($("completion"), false);
    $("proposals").replaceChildren();
    setStatus("Waiting for the service…", false, "");
    $("job-title").textContent = "Job " + jobId;
    $("job-error").textContent = "";
    poll();
  }

  function setStatus(text, terminal, status) {
    const node = $("job-status");
    node.textContent = text;
    node.className = "status " + (status || "");
    $("progress").classList.toggle("idle", terminal);
  }

  async function poll() {
    const jobId = state.jobId;
    try {
      const { doc } = await requestJson("GET", "/api/jobs/" + encodeURIComponent(jobId));
      if (jobId !== state.jobId) return;
      if (doc.status === "queued" || doc.status === "running") {
        setStatus(doc.status === "queued" ? "Queued…" : "Running…", false, doc.status);
        state.timer = setTimeout(poll, POLL_MS);
        return;
      }
      setStatus(doc.status === "completed" ? "Completed in " + Math.round(doc.duration_ms) + " ms" : "Rejected", true, doc.status);
      const result = await requestJson("GET", doc.result_url);
      if (jobId !== state.jobId) return;
      if (result.doc.status === "completed") await showResult(result.doc);
      else showRejected(result.doc);
    } catch (e) {
      setStatus("Unavailable", true, "rejected");
      $("job-error").textContent = e.message;
    }
  }

  // Images are fetched anew and shown from blobs, so that a rerun of the same job never shows
  // a cached image.
  async function fetchFile(url) {
    const response = await fetch(url, { cache: "no-store" });
    if (!response.ok) throw new Error("Cannot load " + url);
    return response;
  }

  function showBlob(img, blob) {
    if (img.dataset.objectUrl) URL.revokeObjectURL(img.dataset.objectUrl);
    img.dataset.objectUrl = URL.createObjectURL(blob);
    img.src = img.dataset.objectUrl;
  }

  async function loadImage(img, url) {
    showBlob(img, await (await fetchFile(url)).blob());
  }

  // The view files draw every edge as a hairline, so at screen size a visible outline comes
  // out grey and broken by the dashes of the hidden edge behind it. The page draws its own
  // copy with strokes in screen pixels: visible edges solid and dark, and wide enough to
  // cover a hidden edge beneath them; hidden edges thin, lighter and dashed. The files keep
  // their own strokes.
  const VIEW_STROKES = {
    visible: { stroke: "#111", "stroke-width": "2" },
    hidden: { stroke: "#8a8a8a", "stroke-width": "1", "stroke-dasharray": "4 3" },
  };

  async function loadView(img, url) {
    const text = await (await fetchFile(url)).text();
    const svg = new DOMParser().parseFromString(text, "image/svg+xml");
    if (svg.documentElement.localName !== "svg") throw new Error(url + " is not an SVG view");
    for (const line of svg.querySelectorAll("polyline")) {
      const strokes = VIEW_STROKES[line.hasAttribute("stroke-dasharray") ? "hidden" : "visible"];
      for (const [name, value] of Object.entries(strokes)) line.setAttribute(name, value);
    }
    showBlob(img, new Blob([new XMLSerializer().serializeToString(svg)], { type: "image/svg+xml" }));
  }

  async function showResult(doc) {
    show($("completion"), false);
    show($("result"), true);
    $("job-error").textContent = "";
    await Promise.all([
      loadView($("view-front"), doc.files.front_svg.url),
      loadView($("view-top"), doc.files.top_svg.url),
      loadView($("view-side"), doc.files.side_svg.url),
    ]);
    const list = $("downloads");
    list.replaceChildren();
    const labels = {
      step: "STEP model", report_json: "Report", traffic_json: "Traffic report",
      front_svg: "Front view", top_svg: "Top view", side_svg: "Side view", source_png: "Source drawing",
    };
    for (const key of Object.keys(labels)) {
      const file = doc.files[key];
      if (!file) continue;
      const item = el("li");
      const link = el("a", "download", labels[key] + " (" + file.filename + ")");
      link.href = file.url;
      link.setAttribute("download", file.filename);
      link.dataset.file = key;
      item.append(link);
      list.append(item);
    }
    const counts = doc.provenance_counts || {};
    $("provenance").textContent = (counts.drawing_proven_green || 0) + " drawing-proven (green), " +
      (counts.approved_completion || 0) + " approved by a user; overall " + doc.traffic.overall;
    // The decisions that led here stay listed. A value completion adds a constraint named after
    // its decision; its row also names the dimension it completes.
    const { doc: completion } = await requestJson("GET", "/api/jobs/" + encodeURIComponent(doc.job_id) + "/completion");
    if (doc.job_id !== state.jobId) return;
    renderRecords(completion.records);
    const targets = {};
    for (const record of completion.records) {
      if (record.status === "approved_completion" && record.value !== null) {
        targets[record.approved_constraint_id] = record.target;
      }
    }
    const body = $("traffic-table").querySelector("tbody");
    body.replaceChildren();
    for (const dim of doc.traffic.dimensions || []) {
      const row = el("tr");
      const signal = el("td");
      signal.append(el("span", "signal " + (dim.signal === "green" ? "green" : "yellow"), dim.signal));
      row.append(signal);
      const name = targets[dim.constraint_id] || dim.display_name;
      row.append(el("td", "", name ? name + " (" + dim.constraint_id + ")" : dim.constraint_id));
      row.append(el("td", "", num(dim.value)));
      row.append(el("td", "", dim.confidence_applicable === false ? "n/a" : num(dim.confidence, 3)));
      row.append(el("td", "reason", dim.reason));
      row.dataset.signal = dim.signal;
      body.append(row);
    }
  }

  function showRejected(doc) {
    show($("result"), false);
    $("job-error").textContent = doc.error.message + " (" + doc.error.code + ")";
    renderCompletion(doc.completion);
  }

  function renderCompletion(completion) {
    const section = $("completion");
    const plan = completion && completion.plan;
    show(section, Boolean(plan) || (completion && completion.records.length > 0));
    const container = $("proposals");
    container.replaceChildren();
    if (plan) {
      $("completion-summary").textContent = "Degrees of freedom: " + plan.degrees_of_freedom +
        (plan.scale_verified ? " · drawing scale verified" : " · drawing scale not verified");
      plan.proposals.forEach((proposal) => container.append(proposalForm(proposal)));
    } else {
      $("completion-summary").textContent = "No decision is open for this job.";
    }
    renderRecords(completion ? completion.records : []);
  }

  function renderRecords(records) {
    const list = $("records");
    list.replaceChildren();
    for (const record of records) {
      const text = record.action + " on " + record.target + " → " + record.status +
        (record.value !== null ? " (" + num(record.value) + ")" : "");
      list.append(el("li", "", text));
    }
    show($("decisions"), records.length > 0);
  }

  function nextDecisionId() {
    state.decisions += 1;
    return "web-" + Date.now().toString(36) + "-" + state.decisions;
  }

  async function postDecision(form, decision) {
    const error = form.querySelector(".error");
    error.textContent = "";
    // One decision at a time: every other form of this plan waits for the answer.
    const buttons = $("proposals").querySelectorAll("button");
    buttons.forEach((b) => { b.disabled = true; });
    try {
      const body = Object.assign({
        schema_version: "v19-completion-decision-v1",
        decision_id: nextDecisionId(),
        selected_entity_id: "",
        value: null,
      }, decision);
      const { doc } = await requestJson("POST", "/api/jobs/" + encodeURIComponent(state.jobId) + "/completion", body);
      if (doc.rerun_started) followJob(state.jobId);
      else renderCompletion(doc);
    } catch (e) {
      error.textContent = e.message;
      buttons.forEach((b) => { b.disabled = false; });
    }
  }

  function actionButton(label, className, handler) {
    const button = el("button", className, label);
    button.type = "button";
    button.addEventListener("click", handler);
    return button;
  }

  function proposalForm(proposal) {
    const form = el("form", "proposal");
    form.dataset.proposal = proposal.proposal_id;
    form.addEventListener("submit", (event) => event.preventDefault());
    const missing = proposal.kind === "missing_dimension";
    form.append(el("p", "", (missing ? "Missing dimension: " : "Conflict: ") + proposal.named_target));
    form.append(el("p", "muted", proposal.rationale));
    const actions = el("div", "actions");
    const base = { proposal_id: proposal.proposal_id };

    if (missing) {
      const field = el("div", "field");
      const inputId = "value-" + proposal.proposal_id;
      const label = el("label", "", "Value (mm)");
      label.htmlFor = inputId;
      const input = el("input");
      input.id = inputId;
      input.type = "number";
      input.step = "any";
      input.min = "0";
      const suggested = proposal.suggested_value !== null;
      if (suggested) input.placeholder = num(proposal.suggested_value);
      field.append(label, input);
      actions.append(field);
      const acceptSuggestion = () =>
        postDecision(form, Object.assign({}, base, { action: "accept_suggestion", selected_entity_id: proposal.entity_id }));
      // An empty field shows the suggestion, so this button then takes the suggestion itself.
      actions.append(actionButton("Use this value", "", () => {
        if (!input.value && !input.validity.badInput && suggested) {
          acceptSuggestion();
          return;
        }
        const value = Number(input.value);
        if (!input.value || !Number.isFinite(value) || value <= 0) {
          form.querySelector(".error").textContent = "Enter a positive value";
          return;
        }
        postDecision(form, Object.assign({}, base, {
          action: "user_value", selected_entity_id: proposal.entity_id, value,
        }));
      }));
      if (suggested) {
        actions.append(actionButton("Accept suggestion " + num(proposal.suggested_value), "secondary", acceptSuggestion));
        actions.append(actionButton("Reject suggestion", "secondary", () =>
          postDecision(form, Object.assign({}, base, { action: "reject_suggestion" }))));
      }
      actions.append(actionButton("Leave missing", "secondary", () =>
        postDecision(form, Object.assign({}, base, { action: "leave_missing" }))));
    } else {
      const fieldset = el("fieldset");
      fieldset.append(el("legend", "", "Keep one constraint"));
      proposal.conflict_choices.forEach((choice, index) => {
        const row = el("div", "choice");
        const radio = el("input");
        radio.type = "radio";
        radio.name = "choice-" + proposal.proposal_id;
        radio.id = "choice-" + proposal.proposal_id + "-" + index;
        radio.value = choice.constraint_id;
        radio.checked = proposal.preferred_constraint_id === choice.constraint_id;
        const label = el("label", "", (choice.display_name || choice.constraint_id) + " = " + num(choice.value) +
          " (evidence " + num(choice.evidence_weight, 3) + ")");
        label.htmlFor = radio.id;
        row.append(radio, label);
        fieldset.append(row);
      });
      form.append(fieldset);
      actions.append(actionButton("Keep the selected constraint", "", () => {
        const chosen = form.querySelector("input[type=radio]:checked");
        if (!chosen) {
          form.querySelector(".error").textContent = "Select the constraint to keep";
          return;
        }
        postDecision(form, Object.assign({}, base, { action: "accept_suggestion", selected_constraint_id: chosen.value }));
      }));
      actions.append(actionButton("Reject", "secondary", () =>
        postDecision(form, Object.assign({}, base, { action: "reject_suggestion" }))));
    }
    form.append(actions);
    form.append(el("p", "error"));
    return form;
  }

  // ---- Pilot review: a PDF or PNG, its candidates over the preview, one decision each ----

  const PILOT_NAME_LIMIT = 100;  // the source name travels into the evidence bundle
  const PILOT_ACTIVE = ["pending_analysis", "analyzing", "queued_model", "modeling"];
  const PILOT_STATUS_TEXT = {
    pending_analysis: "Waiting for analysis…",
    analyzing: "Analysing the drawing…",
    awaiting_review: "Awaiting your review",
    queued_model: "Review accepted; waiting for modelling…",
    modeling: "Building the model…",
    completed: "Completed (PILOT/HOLD)",
    rejected: "Rejected",
  };
  const PILOT_ACTIONS = [["confirm", "Confirm"], ["correct", "Correct"], ["reject", "Reject"]];
  const PILOT_FILES = [
    ["source", "Source drawing", null], ["preview_png", "Preview", "preview.png"],
    ["step", "STEP model", "model.step"], ["front_svg", "Front view", "front.svg"],
    ["top_svg", "Top view", "top.svg"], ["side_svg", "Side view", "side.svg"],
    ["report_json", "Report", "report.json"], ["traffic_json", "Traffic document", "traffic.json"],
    ["evidence_bundle", "Evidence bundle", "evidence_bundle.tar"],
  ];
  const pilot = { jobId: null, reviewUrl: null, timer: null, shown: null };

  function isPdf(file) {
    return file.type === "application/pdf" || /\.pdf$/i.test(file.name);
  }

  function pilotSourceChanged() {
    const file = $("pilot-source-file").files[0];
    show($("pilot-dpi-field"), Boolean(file) && !isPdf(file));
  }

  async function submitPilot() {
    const drawingId = $("pilot-drawing-id").value.trim();
    const source = $("pilot-source-file").files[0];
    if (!drawingId) throw new Error("Enter a drawing id");
    if (!source) throw new Error("Choose the drawing's PDF or PNG file");
    const pdf = isPdf(source);
    let filename = safeName(source.name, pdf ? ".pdf" : ".png", "drawing", PILOT_NAME_LIMIT);
    // The service keeps its own reviewed_normalized.png beside the source.
    if (filename.toLowerCase() === "reviewed_normalized.png") filename = "drawing.png";
    const body = {
      schema_version: "vesk-z23-edur-job-v1",
      drawing_id: drawingId,
      source: { filename, media_type: pdf ? "application/pdf" : "image/png", data_base64: await readAsBase64(source) },
    };
    if (!pdf) body.declared_dpi = Number($("pilot-dpi").value);
    const { doc } = await requestJson("POST", "/api/pilot/jobs", body);
    followPilot(doc);
  }

  function followPilot(doc) {
    pilot.jobId = doc.job_id;
    pilot.reviewUrl = doc.review_url;
    pilot.shown = null;
    writeFragment();
    if (pilot.timer) clearTimeout(pilot.timer);
    show($("pilot-job"), true);
    ["pilot-preview-block", "pilot-review-form", "pilot-result"].forEach((id) => show($(id), false));
    $("pilot-job-title").textContent = "Pilot job " + doc.job_id;
    renderPilot(doc);
  }

  // A pilot job named by the fragment: its status document, then on as if just uploaded.
  async function resumePilot(jobId) {
    try {
      const { doc } = await requestJson("GET", "/api/pilot/jobs/" + encodeURIComponent(jobId));
      followPilot(doc);
    } catch (e) {
      show($("pilot-job"), true);
      $("pilot-job-title").textContent = "Pilot job " + jobId;
      setPilotStatus("Unavailable", false, "rejected");
      $("pilot-error").textContent = e.message;
    }
  }

  async function pollPilot() {
    const jobId = pilot.jobId;
    try {
      const { doc } = await requestJson("GET", "/api/pilot/jobs/" + encodeURIComponent(jobId));
      if (jobId === pilot.jobId) await renderPilot(doc);
    } catch (e) {
      if (jobId !== pilot.jobId) return;
      setPilotStatus("Unavailable", false, "rejected");
      $("pilot-error").textContent = e.message;
    }
  }

  function setPilotStatus(text, active, status) {
    const node = $("pilot-status");
    node.textContent = text;
    node.className = "status " + status;
    $("pilot-progress").classList.toggle("idle", !active);
  }

  async function renderPilot(doc) {
    const jobId = doc.job_id;
    const active = PILOT_ACTIVE.includes(doc.status);
    setPilotStatus(PILOT_STATUS_TEXT[doc.status] || doc.status, active, doc.status);
    $("pilot-route").textContent = doc.route
      ? "Route: " + doc.route + (doc.route_reason_codes.length ? " · " + doc.route_reason_codes.join(", ") : "")
      : "";
    $("pilot-error").textContent = doc.error ? doc.error.message + " (" + doc.error.code + ")" : "";
    if (pilot.shown !== doc.status) {
      pilot.shown = doc.status;
      show($("pilot-review-form"), false);
      try {
        if (doc.status === "awaiting_review") await showCandidates(doc);
        if (doc.status === "completed") await showPilotResult(doc);
      } catch (e) {
        $("pilot-error").textContent = e.message;
      }
    }
    if (active && jobId === pilot.jobId) pilot.timer = setTimeout(pollPilot, POLL_MS);
  }

  // The preview with a numbered box around each candidate's digits; the number sits beside
  // its box, on the side with room, so it never hides what it labels.
  async function drawPreview(doc) {
    const img = $("pilot-preview");
    await loadImage(img, doc.preview_url);
    await img.decode().catch(() => {});
    // Boxes are in preview pixels; percentages keep them on the image at any width.
    const width = img.naturalWidth || 1;
    const height = img.naturalHeight || 1;
    const boxes = $("pilot-boxes");
    boxes.replaceChildren();
    setZoom(false);
    show($("pilot-preview-block"), true);
    return (doc.candidates || []).map((candidate, index) => {
      const [x, y, w, h] = candidate.source_bbox;
      const box = el("div", "box");
      box.style.left = (100 * x / width) + "%";
      box.style.top = (100 * y / height) + "%";
      box.style.width = (100 * w / width) + "%";
      box.style.height = (100 * h / height) + "%";
      box.dataset.constraint = candidate.constraint_id;
      box.append(el("span", x < 0.05 * width ? "after" : "", index + 1));
      boxes.append(box);
      return box;
    });
  }

  // Full size: one preview pixel per CSS pixel, scrolled within its frame, so that every
  // reading stays legible on a narrow screen.
  function setZoom(zoomed) {
    const img = $("pilot-preview");
    const button = $("pilot-zoom");
    const frame = $("pilot-preview-frame");
    const canvas = $("pilot-preview-canvas");
    frame.classList.toggle("zoomed", zoomed);
    canvas.style.width = zoomed ? img.naturalWidth + "px" : "";
    button.setAttribute("aria-pressed", String(zoomed));
    button.textContent = zoomed ? "Fit the preview to the page" : "Show the preview at full size";
    // Opened on the first reading rather than on the drawing's empty corner.
    const first = $("pilot-boxes").firstElementChild;
    if (zoomed && first) {
      frame.scrollLeft = canvas.offsetLeft + first.offsetLeft + first.offsetWidth / 2 - frame.clientWidth / 2;
      frame.scrollTop = canvas.offsetTop + first.offsetTop + first.offsetHeight / 2 - frame.clientHeight / 2;
    }
  }

  async function showCandidates(doc) {
    const boxes = await drawPreview(doc);
    const body = $("pilot-candidates").querySelector("tbody");
    body.replaceChildren();
    (doc.candidates || []).forEach((candidate, index) => body.append(candidateRow(candidate, index, boxes[index])));
    $("pilot-ack-reviewed").checked = false;
    $("pilot-ack-hold").checked = false;
    $("pilot-review-error").textContent = "";
    show($("pilot-review-form"), true);
  }

  function candidateRow(candidate, index, box) {
    const number = index + 1;
    const row = el("tr");
    row.dataset.constraint = candidate.constraint_id;
    const head = el("th", "", number);
    head.scope = "row";
    row.append(head);
    const readable = candidate.value !== null && candidate.origin !== "unreadable";
    row.append(el("td", "", (readable ? num(candidate.value) : "unreadable") + " (" + candidate.constraint_id + ", " +
      candidate.origin + ")"));

    const valueId = "pilot-value-" + index;
    const input = el("input");
    input.id = valueId;
    input.type = "number";
    input.step = "any";
    input.min = "0";
    input.disabled = true;
    if (candidate.value !== null) input.placeholder = num(candidate.value);

    const group = el("div", "decision");
    group.setAttribute("role", "radiogroup");
    group.setAttribute("aria-label", "Decision for candidate " + number);
    for (const [action, text] of PILOT_ACTIONS) {
      const choice = el("div", "choice");
      const radio = el("input");
      radio.type = "radio";
      radio.name = "pilot-decision-" + index;
      radio.id = "pilot-" + action + "-" + index;
      radio.value = action;
      radio.disabled = action === "confirm" && !readable;
      radio.checked = action === "confirm" && readable;
      radio.addEventListener("change", () => {
        input.disabled = action !== "correct";
        box.classList.toggle("rejected", action === "reject");
        box.classList.toggle("corrected", action === "correct");
        if (action === "correct") input.focus();
      });
      const label = el("label", "", text);
      label.htmlFor = radio.id;
      choice.append(radio, label);
      group.append(choice);
    }
    const decision = el("td");
    decision.append(group);
    row.append(decision);

    const valueCell = el("td");
    const label = el("label", "sr-only", "Corrected value for candidate " + number + " (mm)");
    label.htmlFor = valueId;
    valueCell.append(label, input);
    row.append(valueCell);
    // The box of the row being worked on stands out on the preview.
    row.addEventListener("focusin", () => { row.classList.add("active"); box.classList.add("active"); });
    row.addEventListener("focusout", () => { row.classList.remove("active"); box.classList.remove("active"); });
    return row;
  }

  function reviewDecisions() {
    const decisions = [];
    for (const row of $("pilot-candidates").querySelectorAll("tbody tr")) {
      const number = row.querySelector("th").textContent;
      const chosen = row.querySelector("input[type=radio]:checked");
      if (!chosen) throw new Error("Choose a decision for candidate " + number);
      let value = null;
      if (chosen.value === "correct") {
        const input = row.querySelector("input[type=number]");
        value = Number(input.value);
        if (!input.value || !Number.isFinite(value) || value <= 0) {
          input.focus();
          throw new Error("Enter a positive corrected value for candidate " + number);
        }
      }
      // Candidate order: the service binds the readings in the order of the decisions.
      decisions.push({ constraint_id: row.dataset.constraint, action: chosen.value, value });
    }
    return decisions;
  }

  async function submitReview() {
    if (!$("pilot-ack-reviewed").checked || !$("pilot-ack-hold").checked) {
      throw new Error("Confirm both statements before submitting the review");
    }
    const body = {
      schema_version: "z23-edur-review-v1",
      decision_id: nextDecisionId(),
      acknowledgement: { operator_reviewed_all_candidates: true, pilot_hold: true },
      decisions: reviewDecisions(),
    };
    const { doc } = await requestJson("POST", pilot.reviewUrl, body);
    if (doc.job_id === pilot.jobId) await renderPilot(doc);
  }

  async function showPilotResult(doc) {
    const files = doc.files;
    show($("pilot-result"), true);
    await Promise.all([
      loadView($("pilot-view-front"), files.front_svg),
      loadView($("pilot-view-top"), files.top_svg),
      loadView($("pilot-view-side"), files.side_svg),
    ]);
    const bundle = $("pilot-bundle");
    bundle.href = files.evidence_bundle;
    bundle.setAttribute("download", doc.job_id + "-evidence_bundle.tar");
    const list = $("pilot-downloads");
    list.replaceChildren();
    for (const [key, text, name] of PILOT_FILES) {
      const item = el("li");
      const link = el("a", "download", text);
      link.href = files[key];
      link.setAttribute("download", name ? doc.job_id + "-" + name : "");
      link.dataset.file = key;
      item.append(link);
      list.append(item);
    }
    const { doc: traffic } = await requestJson("GET", files.traffic_json);
    await showPilotDecisions(doc, traffic);
    $("pilot-traffic-summary").textContent = "Overall " + traffic.overall + (traffic.hold ? " · on hold" : "") +
      " · " + traffic.dimensions.length + " operator-reviewed dimensions, none drawing-proven";
    const body = $("pilot-traffic").querySelector("tbody");
    body.replaceChildren();
    for (const dim of traffic.dimensions) {
      const row = el("tr");
      const signal = el("td");
      signal.append(el("span", "signal " + (dim.signal === "green" ? "green" : "yellow"), dim.signal));
      row.append(signal, el("td", "", dim.constraint_id), el("td", "", num(dim.value)), el("td", "reason", dim.reason));
      row.dataset.signal = dim.signal;
      body.append(row);
    }
  }

  // The decisions taken, read back from what the model was built from: a reviewed value keeps
  // its candidate's source box, and a rejected candidate is not in the reviewed graph.
  async function showPilotDecisions(doc, traffic) {
    const boxes = await drawPreview(doc);
    const list = $("pilot-decisions");
    list.replaceChildren();
    (doc.candidates || []).forEach((candidate, index) => {
      const key = JSON.stringify(candidate.source_bbox);
      const dim = traffic.dimensions.find((d) => JSON.stringify(d.source_bbox) === key);
      const read = candidate.value === null ? "unreadable" : num(candidate.value);
      let outcome = "rejected";
      if (dim && dim.value === candidate.value) outcome = "kept at " + num(dim.value);
      else if (dim) outcome = "corrected to " + num(dim.value);
      boxes[index].classList.toggle("rejected", !dim);
      boxes[index].classList.toggle("corrected", Boolean(dim) && dim.value !== candidate.value);
      const item = el("li", "", "Read " + read + " (" + candidate.constraint_id + "): " + outcome);
      item.dataset.constraint = candidate.constraint_id;
      list.append(item);
    });
  }

  document.addEventListener("DOMContentLoaded", () => {
    $("job-form").addEventListener("submit", submitHandler("submit-button", "submit-error", submitJob));
    $("pilot-form").addEventListener("submit", submitHandler("pilot-submit-button", "pilot-submit-error", submitPilot));
    $("pilot-source-file").addEventListener("change", pilotSourceChanged);
    $("pilot-review-form").addEventListener("submit",
      submitHandler("pilot-review-button", "pilot-review-error", submitReview));
    $("pilot-zoom").addEventListener("click", () =>
      setZoom(!$("pilot-preview-frame").classList.contains("zoomed")));
    window.addEventListener("hashchange", restoreFragment);
    loadHealth();
    restoreFragment();
  });

})();
