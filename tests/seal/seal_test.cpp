// Sealed logs made by the real daemon, and by the seal writer driven as the consumer drives it,
// checked by the real velmoevents-seal: intact ones verify, every change is caught at its first
// record.
#include "seal/reader.hpp"
#include "seal/seal_error.hpp"
#include "seal/writer.hpp"
#include "support/support.hpp"

using namespace test;

namespace {

const std::string tool = VELMOEVENTS_SEAL_PATH;

std::string record(int i) {
    return "record " + std::to_string(i) + (i % 7 == 0 ? "\nwith a newline" : "");
}

// A sealing key made by the real tool; its verification key as printed.
struct key {
    explicit key(int interval = 900) {
        verification = shell(tool + " setup --interval " + std::to_string(interval) +
                             " --key-file " + file.string() + " 2>/dev/null");
        verification.pop_back();
    }
    temp_dir dir;
    path file = dir / "seal.key";
    std::string verification;
};

// A log written and sealed as the consumer does it: one write per group, then its entry.
struct sealed_log {
    explicit sealed_log(path file, path key = {}) : log(std::move(file)), key_file(std::move(key)) {
        open();
        start();
    }
    // Starts the writer again on the same files, as the daemon's next start does.
    void start(const path& previous = {}) {
        writer.reset();
        writer.emplace(
            open_seal(), fd.get(),
            seal::writer::options{key_file, false, [](const std::string& m) { ADD_FAILURE() << m; },
                                  io::unique_fd(::open(previous.c_str(), O_RDONLY))});
    }
    void open() { fd = io::unique_fd(::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600)); }
    io::unique_fd open_seal() const {
        return io::unique_fd(
            ::open((log.string() + ".seal").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600));
    }
    // Writes records [from, to) as one group; `cut` more bytes go out after them unframed.
    void group(int from, int to, const std::string& cut = "", bool sealed = true) {
        std::string bytes;
        std::vector<std::size_t> lengths;
        for (int i = from; i < to; ++i) {
            bytes += record(i) + "\n";
            lengths.push_back(record(i).size());
        }
        bytes += cut;
        ASSERT_EQ(::write(fd.get(), bytes.data(), bytes.size()), std::ssize(bytes));
        const std::string_view written(bytes);
        if (sealed) writer->seal({&written, 1}, lengths, std::filesystem::file_size(log));
    }
    path log;
    path key_file;
    io::unique_fd fd;
    std::optional<seal::writer> writer;
};

// What verify prints, then its exit status.
std::string verify(const std::string& key, const std::vector<path>& logs) {
    std::string command = tool + " verify --key " + key;
    for (const auto& log : logs) command += " " + log.string();
    return shell(command + "; echo exit $?");
}

std::vector<std::size_t> offsets(int count) {
    std::vector<std::size_t> at{0};
    for (int i = 0; i < count; ++i) at.push_back(at.back() + record(i).size() + 1);
    return at;
}

}  // namespace

TEST(seal, names_the_first_record_of_the_first_group_whose_seal_fails) {
    key k(1), other_key;
    temp_dir dir;
    const auto at = offsets(2000);
    // Through the real daemon. Records 1,717, 1,718 and the last are each sent once the ones
    // before are in the log, so each is a group of its own. The other log holds other records.
    for (const auto& [name, sends] : std::vector<std::pair<std::string, std::vector<int>>>{
             {"events.log", {0, 1716, 1717, 1718, 1999, 2000}}, {"other.log", {1, 20}}}) {
        test::daemon d;
        d.configure("log_level: info\nseal: {key_file: '" + k.file.string() + "'}\n");
        ASSERT_TRUE(d.start());
        producer p(d.endpoint());
        for (std::size_t run = 1; run < sends.size(); ++run) {
            for (int i = sends[run - 1]; i < sends[run]; ++i) p.send(record(i));
            ASSERT_TRUE(eventually([&] {
                return std::filesystem::file_size(d.output()) == at[sends[run]] - at[sends[0]];
            }));
        }
        EXPECT_EQ(d.stop(SIGTERM), 0);
        for (const std::string suffix : {"", ".seal"})
            std::filesystem::copy_file(d.output().string() + suffix, dir / (name + suffix));
    }
    const path log = dir / "events.log";
    const std::string content = read_file(log);
    const auto one = [&](int i) { return content.substr(at[i], at[i + 1] - at[i]); };
    // Where the seal's entry that ends at a record ends.
    const auto entry_end = [&](std::size_t log_end, bool start) {
        seal::reader r(log.string() + ".seal");
        while (const auto item = r.next())
            if (item->value.bytes > 0 && r.log_end() == log_end)
                return start ? item->seal_offset : r.seal_end();
        return std::uint64_t{0};
    };
    struct row {
        const char* change;
        std::function<void(std::string&, const path& seal)> apply;
        std::string expected;
        std::string key = "";
        bool restart = false;  // root starts the writer on the changed files with today's key
    };
    const std::vector<row> rows{
        {"none", [](std::string&, const path&) {}, "2000 records verified, sealed until "},
        {"byte flipped", [&](std::string& c, const path&) { c[at[1716] + 3] ^= 1; },
         "FAILED at byte " + std::to_string(at[1716]) + ": the seal does not hold"},
        {"removed", [&](std::string& c, const path&) { c.erase(at[1716], one(1716).size()); },
         "FAILED at byte " + std::to_string(at[1716])},
        {"swapped",
         [&](std::string& c, const path&) {
             c.replace(at[1716], at[1718] - at[1716], one(1717) + one(1716));
         },
         "FAILED at byte " + std::to_string(at[1716])},
        {"duplicated", [&](std::string& c, const path&) { c.insert(at[1717], one(1716)); },
         "FAILED at byte " + std::to_string(at[1717])},
        {"last dropped", [&](std::string& c, const path&) { c.resize(at[1999]); },
         "FAILED at byte " + std::to_string(at[1999]) +
             ": the log ends before what its seal covers"},
        {"unsealed appended", [](std::string& c, const path&) { c += "late\n"; },
         "FAILED at byte " + std::to_string(at[2000]) + ": not sealed"},
        {"seal deleted", [](std::string&, const path& s) { std::filesystem::remove(s); },
         "FAILED: no seal"},
        {"another log's seal",
         [&](std::string&, const path& s) {
             std::filesystem::copy_file(dir / "other.log.seal", s,
                                        std::filesystem::copy_options::overwrite_existing);
         },
         "FAILED at byte 0: the seal does not hold"},
        {"wrong key", [](std::string&, const path&) {},
         "FAILED: the seal was made with another key", other_key.verification},
        {"truncate-and-reseal",
         [&](std::string& c, const path& s) {
             c.resize(at[1716]);
             std::filesystem::resize_file(s, entry_end(at[1716], false));
             // The daemon, running on, moves its key past the cut entry's epoch.
             std::this_thread::sleep_for(1100ms);
             sealed_log(s.parent_path() / "other.log", k.file);
         },
         "FAILED at byte " + std::to_string(at[1716]) + ": no tick ends epoch", "", true},
        {"delete-seal-and-edit",
         [&](std::string& c, const path& s) {
             std::filesystem::remove(s);
             c[at[1716] + 3] ^= 1;
         },
         "the seal is empty or missing, but the log holds", "", true},
        {"cut-to-header-and-edit",
         [&](std::string& c, const path& s) {
             std::filesystem::resize_file(s, seal::header_size);
             c[at[1716] + 3] ^= 1;
         },
         "the seal is empty or missing, but the log holds", "", true},
        {"garble-and-edit",
         [&](std::string& c, const path& s) {
             std::fstream(s, std::ios::in | std::ios::out).seekp(entry_end(at[1717], true))
                 << "xxxxxxxx";
             c[at[1716] + 3] ^= 1;
         },
         "are not an entry cut short by a crash", "", true},
        {"junk appended",
         [](std::string&, const path& s) { std::ofstream(s, std::ios::app) << "junk"; },
         "FAILED at byte " + std::to_string(at[2000]) + ": the seal's bytes from"},
    };
    for (const auto& [change, apply, expected, key, restart] : rows) {
        temp_dir copy;
        std::string changed = content;
        std::filesystem::copy_file(log.string() + ".seal", copy / "events.log.seal");
        apply(changed, copy / "events.log.seal");
        write_file(copy / "events.log", changed);
        std::string output;
        try {
            if (restart) {
                std::filesystem::copy_file(k.file, copy / "seal.key");
                sealed_log(copy / "events.log", copy / "seal.key").group(3000, 3010);
            }
            output = verify(key.empty() ? k.verification : key, {copy / "events.log"});
        } catch (const seal::seal_error& refused) {
            output = refused.what() + "\nexit 1"s;  // the daemon's exit on a seal_error
        }
        EXPECT_TRUE(contains(output, expected)) << change << ": " << output;
        EXPECT_TRUE(contains(output, change == "none"s ? "exit 0" : "exit 1")) << change;
    }
}

TEST(seal, verifies_over_epochs_and_the_idle_key_moves_on_without_a_trace_of_the_seed) {
    key k(1);
    temp_dir dir;
    sealed_log log(dir / "events.log", k.file);
    for (int burst = 0; burst < 3; ++burst) {
        for (int i = 0; i < 10; ++i)
            log.group(burst * 1000 + i * 100, burst * 1000 + i * 100 + 100);
        std::this_thread::sleep_for(1100ms);
    }
    const auto epoch = [&] {
        const std::string text = read_file(k.file);
        return std::stoull(text.substr(text.find("epoch ") + 6));
    };
    // Idle for two epochs: the key moves on all the same (its file a sync or so later).
    const std::string before = read_file(k.file);
    const auto first = epoch();
    EXPECT_TRUE(eventually([&] { return epoch() >= first + 2; }, 10s));
    const std::string after = read_file(k.file);
    // The seed in every encoding: hex as printed, raw, base64.
    const std::string hex = k.verification.substr(0, 64);
    std::string raw;
    for (std::size_t i = 0; i < 64; i += 2)
        raw.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    const std::string base64 = shell("printf '%s' " + hex + " | xxd -r -p | base64 -w0");
    for (const auto& seed : {hex, raw, base64, shell("printf '%s' " + hex + " | tr a-f A-F")})
        EXPECT_FALSE(contains(before + after, seed)) << seed;
    log.writer.reset();
    temp_dir copy;
    shell("cp -p " + log.log.string() + " " + log.log.string() + ".seal " + copy.root.string());
    for (const auto& file : {log.log, copy / "events.log"})
        EXPECT_TRUE(
            contains(verify(k.verification, {file}), ": 3000 records verified, sealed until "))
            << file;
}

TEST(seal, a_crash_leaves_a_recovered_span_that_verifies_with_a_warning) {
    key k;
    const auto at = offsets(130);
    const auto bytes = [](std::size_t from, std::size_t to) {
        return "bytes " + std::to_string(from) + " to " + std::to_string(to) + " ";
    };
    struct row {
        const char* crash;
        std::function<void(sealed_log&)> apply;
        std::vector<std::string> warnings;
    };
    const std::vector<row> rows{
        {"records written, not sealed",
         [](sealed_log& log) { log.group(100, 130, "", false); },
         {bytes(at[100], at[130]) + "were in the log but not sealed when the daemon started"}},
        {"seal entry cut short",
         [](sealed_log& log) {
             log.group(100, 130, "", false);
             std::ofstream(log.log.string() + ".seal", std::ios::app) << "\x8fVSEAL\r\n\3\0"s;
         },
         {"were cut short by a crash and are skipped", bytes(at[100], at[130]) + "were in"}},
        {"record cut by a failed write",
         [](sealed_log& log) {
             log.group(100, 110, "record 11");
             ASSERT_EQ(::write(log.fd.get(), "\n", 1), 1);
             log.group(110, 130);
         },
         {bytes(at[110], at[110] + 9) + "hold a record cut short by a failed write",
          bytes(at[110] + 9, at[110] + 10) + "hold a record cut"}},
    };
    for (const auto& [crash, apply, warnings] : rows) {
        temp_dir dir;
        sealed_log log(dir / "events.log", k.file);
        log.group(0, 100);
        apply(log);
        log.start();
        log.group(200, 210);
        log.writer.reset();
        const std::string output = verify(k.verification, {log.log});
        for (const auto& warning : warnings)
            EXPECT_TRUE(contains(output, warning)) << crash << ": " << output;
        EXPECT_TRUE(contains(output, "records verified")) << crash << ": " << output;
        EXPECT_TRUE(contains(output, "exit 0")) << crash;
    }
}

TEST(seal,
     the_chain_runs_across_rotation_and_a_seal_without_macs_frames_records_but_never_verifies) {
    key k;
    temp_dir dir;
    sealed_log log(dir / "events.log", k.file), unsealed(dir / "plain.log");
    const path archive = dir / "events.log.1", second = dir / "events.log.2";
    const auto archive_to = [&](const path& to) {
        std::filesystem::rename(log.log, to);
        std::filesystem::rename(log.log.string() + ".seal", to.string() + ".seal");
        log.open();
    };
    log.group(0, 50);
    archive_to(archive);
    log.writer->rotate(log.open_seal(), log.fd.get());
    log.group(50, 80);
    // A crash cut the next rotation short: the new log's seal starts empty at the next start.
    archive_to(second);
    log.start(second.string() + ".seal");
    log.group(80, 85);
    log.writer.reset();
    const std::string all = verify(k.verification, {archive, second, log.log});
    EXPECT_TRUE(contains(all, "events.log.1: 50 records verified") &&
                contains(all, "events.log.2: 30 records verified") &&
                contains(all, "events.log: 5 records verified") && contains(all, "exit 0"))
        << all;
    EXPECT_TRUE(contains(verify(k.verification, {log.log, archive}),
                         "events.log.1: FAILED at byte 0: the seal does not continue the seal of"));
    // Without MACs: the boundaries are exact, newlines inside records included.
    unsealed.group(0, 20);
    unsealed.group(20, 21, "cut");
    unsealed.writer.reset();
    seal::reader reader(unsealed.log.string() + ".seal");
    std::string framed;
    const std::string content = read_file(unsealed.log);
    while (const auto item = reader.next())
        for (const auto& one : seal::reader::records(*item))
            framed += "[" + content.substr(one.offset, one.length) + (one.framed ? "]" : ")");
    std::string expected;
    for (int i = 0; i < 21; ++i) expected += "[" + record(i) + "]";
    EXPECT_EQ(framed, expected + "[cut)");
    EXPECT_TRUE(
        contains(verify(k.verification, {unsealed.log}),
                 "FAILED: not sealed: the seal holds record lengths only, no MACs\nexit 1"));
}

TEST(seal, restarts_a_kill_and_rotation_leave_archives_and_a_log_that_verify_as_one) {
    key k(1);
    test::daemon d;
    d.configure("log_level: info\nseal: {key_file: '" + k.file.string() + "'}\n", "",
                ", max_file_size: 256K, max_archives: 5");
    const auto burst = [&] {
        shell("seq -f 'record %08g of a burst' 1 20000 | " VELMOEVENTS_SEND_PATH " -e " +
              d.endpoint());
    };
    ASSERT_TRUE(d.start());
    burst();
    EXPECT_EQ(d.stop(SIGTERM), 0);
    ASSERT_TRUE(d.start());
    {
        producer p(d.endpoint());
        p.flood([](int i) { return "flooded record " + std::to_string(i); });
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(d.stop(SIGKILL), 128 + SIGKILL);
        p.stop();
    }
    ASSERT_TRUE(d.start()) << d.running().output();
    burst();
    // Idle for two epochs: the key moves on all the same (its file a sync or so later).
    const auto epoch = [&] {
        const std::string text = read_file(k.file);
        return std::stoull(text.substr(text.find("epoch ") + 6));
    };
    const auto before = epoch();
    EXPECT_TRUE(eventually([&] { return epoch() >= before + 2; }, 10s));
    EXPECT_EQ(d.stop(SIGTERM), 0);
    // A record cut short, as a kill in the middle of a write leaves it: the next start ends it.
    shell("printf 'cut short' >> " + d.output().string());
    ASSERT_TRUE(d.start());
    burst();
    EXPECT_EQ(d.stop(SIGTERM), 0);
    // Killed between a rotation's two renames: the seal has its archive's name, the log not
    // yet. The next start finishes the rotation and the chain goes on.
    const std::string log = d.output().string();
    shell("chattr -a " + log + ".seal && mv " + log + ".seal " + log +
          ".29991231T235959Z-000000.seal");
    ASSERT_TRUE(d.start()) << d.running().output();
    burst();
    EXPECT_EQ(d.stop(SIGTERM), 0);
    EXPECT_TRUE(contains(d.running().output(), "Finished a rotation cut short by a crash"));
    // Retention took the oldest archives with their seals: five archives and the log remain,
    // each with its seal.
    std::vector<path> files, seals;
    for (const auto& entry : std::filesystem::directory_iterator(d.output().parent_path()))
        (entry.path().extension() == ".seal" ? seals : files).push_back(entry.path());
    ASSERT_EQ(files.size(), 6u);
    ASSERT_EQ(seals.size(), 6u);
    std::sort(files.begin(), files.end());
    std::rotate(files.begin(), files.begin() + 1, files.end());  // the log last
    std::size_t lines = 0;
    for (const auto& file : files) lines += count(read_file(file), "\n");
    const std::string output = verify(k.verification, files);
    ASSERT_TRUE(contains(output, "exit 0")) << output;
    std::size_t verified = 0;
    for (std::size_t at = 0; (at = output.find(": ", at)) != std::string::npos; at += 2)
        if (std::isdigit(output[at + 2])) verified += std::stoull(output.substr(at + 2));
    EXPECT_EQ(verified, lines);
    // A seal removed beside a log that holds records: the daemon will not seal it afresh.
    shell("chattr -a " + log + ".seal");
    std::filesystem::remove(log + ".seal");
    EXPECT_FALSE(d.start());
    EXPECT_EQ(d.running().wait(), 1);
    EXPECT_TRUE(contains(d.running().output(), "the seal is empty or missing"))
        << d.running().output();
}
