// Vesk local page: submits jobs, follows them, shows their outputs and takes completion
// decisions. Every text from the service is set with textContent, never parsed as HTML.
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

  // Keeps a client file name inside the service's safe-basename rule.
  function safeName(name, extension, fallback) {
    let base = String(name || "").replace(/[^A-Za-z0-9._-]/g, "_").replace(/^\.+/, "");
    if (!base.toLowerCase().endsWith(extension)) base += extension;
    if (base.length === extension.length) base = fallback + extension;
    if (base.length > 128) base = base.slice(0, 128 - extension.length) + extension;
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
      $("health").textContent = "Local service on port " + doc.port + " · reader provider: " + doc.reader_provider;
      const reader = doc.reader_provider !== "disabled";
      show($("dpi-field"), reader);
      $("graph-hint").textContent = reader
        ? "Optional: without a graph the reader provider reads the drawing's dimensions."
        : "Required while no reader provider is configured.";
    } catch (e) {
      $("health").textContent = "The local service does not answer: " + e.message;
    }
  }

  async function submitJob(event) {
    event.preventDefault();
    const error = $("submit-error");
    error.textContent = "";
    const button = $("submit-button");
    button.disabled = true;
    try {
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
    } catch (e) {
      error.textContent = e.message;
    } finally {
      button.disabled = false;
    }
  }

  function followJob(jobId) {
    state.jobId = jobId;
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

  // Views are fetched as blobs so that a rerun of the same job never shows a cached image.
  async function loadImage(img, url) {
    const response = await fetch(url, { cache: "no-store" });
    if (!response.ok) throw new Error("Cannot load " + url);
    const blob = await response.blob();
    if (img.dataset.objectUrl) URL.revokeObjectURL(img.dataset.objectUrl);
    img.dataset.objectUrl = URL.createObjectURL(blob);
    img.src = img.dataset.objectUrl;
  }

  async function showResult(doc) {
    show($("completion"), false);
    show($("result"), true);
    $("job-error").textContent = "";
    await Promise.all([
      loadImage($("view-front"), doc.files.front_svg.url),
      loadImage($("view-top"), doc.files.top_svg.url),
      loadImage($("view-side"), doc.files.side_svg.url),
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
    const body = $("traffic-table").querySelector("tbody");
    body.replaceChildren();
    for (const dim of doc.traffic.dimensions || []) {
      const row = el("tr");
      const signal = el("td");
      signal.append(el("span", "signal " + (dim.signal === "green" ? "green" : "yellow"), dim.signal));
      row.append(signal);
      row.append(el("td", "", dim.display_name ? dim.display_name + " (" + dim.constraint_id + ")" : dim.constraint_id));
      row.append(el("td", "", dim.value));
      row.append(el("td", "", dim.confidence_applicable === false ? "n/a" : dim.confidence));
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
    const records = $("records");
    records.replaceChildren();
    for (const record of completion ? completion.records : []) {
      const text = record.action + " on " + record.target + " → " + record.status +
        (record.value !== null ? " (" + record.value + ")" : "");
      records.append(el("li", "", text));
    }
  }

  function nextDecisionId() {
    state.decisions += 1;
    return "web-" + Date.now().toString(36) + "-" + state.decisions;
  }

  async function postDecision(form, decision) {
    const error = form.querySelector(".error");
    error.textContent = "";
    form.querySelectorAll("button").forEach((b) => { b.disabled = true; });
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
      form.querySelectorAll("button").forEach((b) => { b.disabled = false; });
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
      if (proposal.suggested_value !== null) input.placeholder = String(proposal.suggested_value);
      field.append(label, input);
      actions.append(field);
      actions.append(actionButton("Use this value", "", () => {
        const value = Number(input.value);
        if (!input.value || !Number.isFinite(value) || value <= 0) {
          form.querySelector(".error").textContent = "Enter a positive value";
          return;
        }
        postDecision(form, Object.assign({}, base, {
          action: "user_value", selected_entity_id: proposal.entity_id, value,
        }));
      }));
      if (proposal.suggested_value !== null) {
        actions.append(actionButton("Accept suggestion " + proposal.suggested_value, "secondary", () =>
          postDecision(form, Object.assign({}, base, { action: "accept_suggestion", selected_entity_id: proposal.entity_id }))));
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
        const label = el("label", "", (choice.display_name || choice.constraint_id) + " = " + choice.value +
          " (evidence " + choice.evidence_weight + ")");
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

  document.addEventListener("DOMContentLoaded", () => {
    $("job-form").addEventListener("submit", submitJob);
    loadHealth();
  });
})();
