// The ustar writer and the evidence bundle, checked against GNU tar and Python's tarfile.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "intake/sha256.hpp"
#include "pilot/pilot_fixtures.hpp"
#include "pilot/pilot_ustar.hpp"
#include "support/expect_error.hpp"
#include "support/run_process.hpp"

namespace {
namespace fs = std::filesystem;
using namespace vesk;
using vesk::test::make_job_on_disk;
using vesk::test::run_process;
using vesk::test::TempDir;


bool have(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

TEST(PilotUstar, PathSplitAndHeaderFields) {
    const std::string dir100 = std::string(99, 'd');
    struct Split {
        std::string path;
        std::string prefix;
        std::string name;
    };
    const std::vector<Split> splits = {
        {std::string(100, 'a'), "", std::string(100, 'a')},
        {dir100 + "/b", dir100, "b"},                                     // 101 bytes with a "/"
        {"x/" + dir100 + "/" + std::string(100, 'n'), "x/" + dir100, std::string(100, 'n')},
    };
    for (const Split& s : splits) {
        EXPECT_EQ(split_ustar_path(s.path), std::make_pair(s.prefix, s.name)) << s.path.size();
    }
    for (const std::string& bad : {std::string(101, 'a'), std::string(156, 'p') + "/n", "p/" + std::string(101, 'n')}) {
        EXPECT_EQ(test::error_message([&] { split_ustar_path(bad); }), "Z23-Edur evidence archive path is too long");
    }
    EXPECT_EQ(test::error_message([] { make_ustar_header("", std::string(101, 'a'), 0); }),
              "Z23-Edur evidence archive path field is too long");
    EXPECT_EQ(test::error_message([] { make_ustar_header("", "a", kUstarMaxSize + 1); }),
              "Z23-Edur evidence archive numeric field overflowed");

    const UstarHeader h = make_ustar_header("pre", "name.txt", 513);
    const std::string bytes(h.begin(), h.end());
    EXPECT_EQ(bytes.substr(100, 8), std::string("0000644\0", 8));
    EXPECT_EQ(bytes.substr(108, 16), std::string("0000000\0" "0000000\0", 16));
    EXPECT_EQ(bytes.substr(124, 24), std::string("00000001001\0" "00000000000\0", 24));
    EXPECT_EQ(bytes.substr(156, 1), "0");
    EXPECT_EQ(bytes.substr(257, 8), std::string("ustar\0" "00", 8));
    EXPECT_EQ(bytes.substr(345, 4), std::string("pre\0", 4));
    unsigned sum = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) sum += i >= 148 && i < 156 ? ' ' : static_cast<unsigned char>(bytes[i]);
    char checksum[8];
    std::snprintf(checksum, sizeof checksum, "%06o", sum);
    EXPECT_EQ(bytes.substr(148, 8), std::string(checksum) + std::string("\0 ", 2));
    EXPECT_EQ(ustar_padding(0), 0u);
    EXPECT_EQ(ustar_padding(512), 0u);
    EXPECT_EQ(ustar_padding(513), 511u);
}

TEST(PilotBundle, DeterministicArchiveThatToolsRead) {
    TempDir dir;
    PilotRecord record = make_job_on_disk(dir.path(), 1, PilotStatus::queued_model);
    const fs::path job = record.job_directory;
    fs::create_directories(job / "extra");
    test::write_file(job / "extra" / "zero.bin", "");
    test::write_file(job / "extra" / "block.bin", std::string(512, 'b'));
    test::write_file(job / "extra" / "block1.bin", std::string(513, 'c'));
    const std::string deep = "extra/" + std::string(60, 'd') + "/" + std::string(60, 'e') + ".txt";  // 127 bytes
    fs::create_directories((job / deep).parent_path());
    test::write_file(job / deep, "deep");
    test::write_file(job / "stray.tmp", "stray");
    test::write_file(job / "extra" / "partial.json.tmp", "partial");
    test::fake_model(record);

    const SortedJson manifest = parse_strict_json(read_pilot_file(job / kEvidenceManifestFile));
    std::vector<std::string> listed;
    for (const auto& entry : manifest["files"]) listed.push_back(entry["path"]);
    EXPECT_EQ(listed, (std::vector<std::string>{"candidates.json", "drawing.png", "extra/block.bin",
                                                "extra/block1.bin", deep, "extra/zero.bin",
                                                "model/reviewed_graph.step", "model/reviewed_graph_front.svg",
                                                "model/reviewed_graph_report.json", "model/reviewed_graph_side.svg",
                                                "model/reviewed_graph_top.svg", "pilot_traffic.json",
                                                "review/review-1.json", "reviewed_graph.json"}));
    const OrderedJson ordered = parse_strict_ordered_json(read_pilot_file(job / kEvidenceManifestFile));
    std::vector<std::string> keys;
    for (const auto& item : ordered.items()) keys.push_back(item.key());
    EXPECT_EQ(keys.size(), 17u);
    EXPECT_EQ(keys.front(), "schema_version");
    EXPECT_EQ(std::vector<std::string>(keys.end() - 3, keys.end()),
              (std::vector<std::string>{"reader_identity", "rejection", "files"}));
    EXPECT_EQ(manifest["operator_review_sha256"], sha256_file(review_record_path(record)));

    // Same files, same bytes; 512-byte blocks and two zero blocks at the end.
    const std::string first = test::read_file(record.evidence_bundle_path);
    const fs::path copy = dir.path() / "first.tar";
    fs::copy_file(record.evidence_bundle_path, copy);
    test::fake_model(record);
    EXPECT_EQ(first.size() % 512, 0u);
    EXPECT_EQ(first.substr(first.size() - 1024), std::string(1024, '\0'));
    EXPECT_EQ(run_process("/usr/bin/cmp", {copy.string(), record.evidence_bundle_path.string()}).exit_code, 0);

    if (!have("tar") || !have("python3")) GTEST_SKIP() << "tar or python3 is missing";
    const auto listing = run_process("/usr/bin/env", {"TZ=UTC", "tar", "-tvf", record.evidence_bundle_path.string()});
    ASSERT_EQ(listing.exit_code, 0) << listing.err;
    EXPECT_EQ(listing.err, "");
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = listing.out.find('\n', at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, listed.size() + 1);
    EXPECT_NE(listing.out.find("-rw-r--r-- 0/0             513 1970-01-01 00:00 extra/block1.bin\n"),
              std::string::npos) << listing.out;
    EXPECT_NE(listing.out.find(deep), std::string::npos);

    const fs::path out = dir.path() / "extracted";
    const std::string script =
        "import sys, tarfile\n"
        "with tarfile.open(sys.argv[1]) as t:\n"
        "    for m in t.getmembers():\n"
        "        assert m.isreg() and m.mode == 0o644 and m.uid == 0 and m.gid == 0 and m.mtime == 0, m.name\n"
        "        assert m.uname == '' and m.gname == '', m.name\n"
        "    t.extractall(sys.argv[2])\n";
    const auto extracted =
        run_process("/usr/bin/env", {"python3", "-c", script, record.evidence_bundle_path.string(), out.string()});
    ASSERT_EQ(extracted.exit_code, 0) << extracted.err;
    const auto diff = run_process("/usr/bin/env", {"diff", "-r", "-x", "pilot_state.json", "-x",
                                                   "evidence_bundle.tar", "-x", "*.tmp", job.string(), out.string()});
    EXPECT_EQ(diff.exit_code, 0) << diff.out << diff.err;
}

TEST(PilotBundle, RefusalsAndReaderEvidence) {
    TempDir dir;
    PilotRecord record = make_job_on_disk(dir.path(), 1, PilotStatus::queued_model);
    const fs::path evidence = record.job_directory / "reader_evidence";
    fs::create_directories(evidence / "logs");
    test::write_file(evidence / "logs" / "bridge.stdout.log", "ok\n");
    test::write_file(evidence / "evidence_manifest.json",
                     R"({"device": {"name": "cpu", "kind": "x"}, "provider_manifest_sha256": "p",)"
                     R"( "runtime_config_sha256": "r", "base_model_manifest_sha256": "b", "other": 1})");
    record.reader_evidence_tree_sha256 = sha256_directory_tree(evidence);
    test::fake_model(record);
    const OrderedJson manifest = parse_strict_ordered_json(read_pilot_file(record.job_directory / kEvidenceManifestFile));
    EXPECT_EQ(manifest["reader_identity"].dump(),
              R"({"provider_manifest_sha256":"p","runtime_config_sha256":"r","base_model_manifest_sha256":"b",)"
              R"("device":{"kind":"x","name":"cpu"}})");
    EXPECT_EQ(manifest["reader_evidence_tree_sha256"], *record.reader_evidence_tree_sha256);

    test::write_file(evidence / "logs" / "bridge.stdout.log", "ok?\n");
    EXPECT_EQ(test::error_message([&] { test::fake_model(record); }), "Z23-Edur reader evidence tree identity changed");
    record.reader_evidence_tree_sha256.reset();

    fs::create_symlink("/etc/hostname", record.job_directory / "link.txt");
    EXPECT_EQ(test::error_message([&] { test::fake_model(record); }),
              "Z23-Edur evidence bundle refuses the symbolic link 'link.txt'");
    fs::remove(record.job_directory / "link.txt");

    test::write_file(record.job_directory / std::string(101, 'n'), "long");
    EXPECT_EQ(test::error_message([&] { test::fake_model(record); }), "Z23-Edur evidence archive path is too long");
    EXPECT_FALSE(fs::exists(record.job_directory / "evidence_bundle.tar.tmp"));

    record.review_decision_id.reset();
    EXPECT_EQ(test::error_message([&] { write_evidence_bundle(record); }),
              "Z23-Edur evidence bundle requires one durable operator review");
}

}  // namespace
