// vandrelux-soak: many transfers in one process against vandrelux-boxsim, with faults.
//
// Each transfer starts a box on a fresh pseudo-terminal and runs the same updater the CLI runs.
// Directions alternate; sizes cycle through the edges of the frame size, odd sizes and larger
// images; faults are drawn at random: refused frames, a refused whole image, corrupted blocks,
// chatter, a box that falls silent, a box that hangs up. A transfer the updater calls a success
// must have delivered exactly the right bytes; a transfer without a stopping fault must succeed;
// a stopped one must fail with the matching reason. Descriptors and memory are measured after a
// warm-up and at the end and must not grow.
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cli/ConsoleEvents.h"
#include "cli/Updater.h"
#include "station/Run.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using vandrelux::station::Outcome;
using Bytes = std::vector<std::uint8_t>;

struct Settings {
    std::string boxsim;
    int transfers = 240;
    unsigned seed = 1;
    std::size_t maxBytes = 3 << 20;
    std::string work;
};

#if defined(__SANITIZE_ADDRESS__)
// The address sanitizer keeps freed memory resident for a while; its leak check stands in.
constexpr bool kMemoryMeasurable = false;
#else
constexpr bool kMemoryMeasurable = true;
#endif

enum class Stop { None, Silent, HangUp };

struct Plan {
    bool download = true;
    std::size_t size = 0;
    double nakShare = 0;
    bool nakVerdict = false;
    double corruptShare = 0;
    unsigned block = 4096;
    bool markPerBlock = false;
    std::string chatter;
    Stop stop = Stop::None;
    unsigned stopAfter = 0;
};

struct Totals {
    int run = 0, succeeded = 0, failedAsExpected = 0, faults = 0;
    int wrongAccepted = 0, unexpectedFailures = 0, wrongReasons = 0, boxViolations = 0;
    int wrongReports = 0;
};

Bytes ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

int OpenDescriptors() {
    int n = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        static_cast<void>(entry);
        ++n;
    }
    return n - 1;  // the iterator's own
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

std::size_t SizeFor(int i, std::mt19937& rng, std::size_t maxBytes) {
    static constexpr std::size_t kEdges[] = {0, 1, 4095, 4096, 4097, 8193};
    const int slot = (i / 2) % 10;
    if (slot < 6) {
        return std::min(kEdges[slot], maxBytes);
    }
    if (slot < 8) {
        return std::uniform_int_distribution<std::size_t>(
                   0, std::min<std::size_t>(maxBytes, 1 << 16))(rng) |
               1;
    }
    if (slot == 8) {
        return std::uniform_int_distribution<std::size_t>(
            0, std::min<std::size_t>(maxBytes, 1 << 20))(rng);
    }
    return std::uniform_int_distribution<std::size_t>(maxBytes / 2, maxBytes)(rng);
}

Plan Draw(int i, std::mt19937& rng, std::size_t maxBytes) {
    Plan p;
    p.download = i % 2 == 0;
    p.size = SizeFor(i, rng, maxBytes);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (chance(rng) < 0.4) {
        p.nakShare = p.download ? 0.02 + 0.2 * chance(rng) : 0.0;
        p.corruptShare = p.download ? 0.0 : 0.05 + 0.3 * chance(rng);
    }
    p.nakVerdict = p.download && chance(rng) < 0.2;
    if (!p.download) {
        p.block = std::uniform_int_distribution<unsigned>(1, 4096)(rng);
        p.markPerBlock = chance(rng) < 0.3;
    }
    if (chance(rng) < 0.2) {
        p.chatter = "loader " + std::to_string(i);
    }
    const double s = chance(rng);
    if (s < 0.12) {
        p.stop = Stop::Silent;
    } else if (s < 0.24) {
        p.stop = Stop::HangUp;
    }
    p.stopAfter = std::uniform_int_distribution<unsigned>(0, 6)(rng);
    // Blocks of one byte take a frame each: keep those images small.
    if (!p.download && p.block < 64) {
        p.size = std::min<std::size_t>(p.size, 4097);
    }
    return p;
}

// A box has no way to send an empty image: its empty last block is refused like any block of
// length 0, again and again, until the time-out.
bool CannotEnd(const Plan& p) {
    return !p.download && p.size == 0;
}

std::vector<std::string> BoxArguments(const Settings& s, const Plan& p, const fs::path& dir) {
    std::vector<std::string> args{s.boxsim, "--report", (dir / "report.json").string(), "--timeout",
                                  "120",    "--seed",   std::to_string(s.seed)};
    if (!p.chatter.empty()) {
        args.insert(args.end(), {"--chatter", p.chatter});
    }
    if (p.stop == Stop::Silent) {
        args.insert(args.end(), {"--silent-after", std::to_string(p.stopAfter)});
    } else if (p.stop == Stop::HangUp) {
        args.insert(args.end(), {"--hang-up-after", std::to_string(p.stopAfter)});
    }
    if (p.download) {
        args.insert(args.end(), {"accept", "--out", (dir / "out").string()});
        if (p.nakShare > 0) {
            args.insert(args.end(), {"--nak-share", std::to_string(p.nakShare)});
        }
        if (p.nakVerdict) {
            args.emplace_back("--nak-first-verdict");
        }
    } else {
        args.insert(args.end(), {"send", "--image", (dir / "image.bin").string(), "--block",
                                 std::to_string(p.block)});
        if (p.corruptShare > 0) {
            args.insert(args.end(), {"--corrupt-share", std::to_string(p.corruptShare)});
        }
        if (p.markPerBlock) {
            args.emplace_back("--mark-per-block");
        }
    }
    return args;
}

// A running box: its process and the line it printed.
struct Box {
    pid_t pid = -1;
    std::string device;
};

std::optional<Box> StartBox(const std::vector<std::string>& args, const fs::path& errors) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    Box box;
    const int rc = posix_spawn(&box.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        return std::nullopt;
    }
    char ch = 0;
    pollfd pfd{out[0], POLLIN, 0};
    while (poll(&pfd, 1, 5000) > 0 && read(out[0], &ch, 1) == 1 && ch != '\n') {
        box.device.push_back(ch);
    }
    close(out[0]);
    if (box.device.empty()) {
        kill(box.pid, SIGKILL);
        waitpid(box.pid, nullptr, 0);
        return std::nullopt;
    }
    return box;
}

// Waits for the box to end by itself for a while, then stops it.
void EndBox(const Box& box, std::chrono::milliseconds grace) {
    const auto until = std::chrono::steady_clock::now() + grace;
    while (std::chrono::steady_clock::now() < until) {
        if (waitpid(box.pid, nullptr, WNOHANG) == box.pid) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(box.pid, SIGTERM);
    waitpid(box.pid, nullptr, 0);
}

Bytes Padded(Bytes bytes) {
    if (bytes.size() % 2 == 1) {
        bytes.push_back(0);
    }
    return bytes;
}

Bytes Swapped(Bytes bytes) {
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        std::swap(bytes[i], bytes[i + 1]);
    }
    return bytes;
}

// Transfers take turns in a few folders, so a long soak leaves no heap of images behind.
fs::path TransferDir(const Settings& s, int i) {
    return fs::path(s.work) / ("t" + std::to_string(i % 4));
}

// One transfer; returns a complaint, or nothing when all was as it must be.
std::optional<std::string> RunOne(const Settings& s, int i, const Plan& p, Totals& totals) {
    const fs::path dir = TransferDir(s, i);
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::mt19937 fill(s.seed * 7919U + static_cast<unsigned>(i));
    Bytes payload(p.size);
    std::generate(payload.begin(), payload.end(),
                  [&] { return static_cast<std::uint8_t>(fill()); });
    WriteAll(dir / (p.download ? "sw.bin" : "image.bin"), payload);

    const std::optional<Box> box = StartBox(BoxArguments(s, p, dir), dir / "box.err");
    if (!box) {
        ++totals.unexpectedFailures;
        return "the box did not start";
    }
    vandrelux::cli::Options options;
    options.ports = {box->device};
    // Only a box that stops talking waits for the time-out; every other run ends by itself, so
    // its limit only has to be beyond any slowness of a loaded machine.
    options.timeout = p.stop == Stop::Silent || CannotEnd(p) ? std::chrono::seconds(4)
                                                             : std::chrono::seconds(120);
    if (p.download) {
        options.files.push_back(
            {vandrelux::protocol::UpdateKind::Software, (dir / "sw.bin").string()});
    } else {
        options.receiveTo = (dir / "target.bin").string();
    }
    const fs::path before = fs::current_path();
    fs::current_path(dir);
    vandrelux::station::PortResult result;
    {
        vandrelux::cli::CConsole console({}, {}, stdout, stderr);
        vandrelux::cli::CConsoleEvents events(console, options);
        result = vandrelux::station::RunUnits(vandrelux::cli::RunSettingsOf(options), events).at(0);
    }
    const Outcome outcome = result.outcome;
    fs::current_path(before);
    EndBox(*box, outcome == Outcome::Success ? std::chrono::milliseconds(5000)
                                             : std::chrono::milliseconds(0));

    ++totals.run;
    // Whatever the outcome, the PC must never have broken the wire's rules as the box saw them.
    std::ifstream boxReport(dir / "report.json");
    const nlohmann::json seen = nlohmann::json::parse(boxReport, nullptr, false);
    if (!CannotEnd(p) && !seen.is_discarded() &&
        !seen.value("violations", nlohmann::json::array()).empty()) {
        ++totals.boxViolations;
        return "the box saw the PC break the protocol: " + seen["violations"].dump();
    }
    totals.faults += (p.nakShare > 0) + p.nakVerdict + (p.corruptShare > 0) + !p.chatter.empty() +
                     (p.stop != Stop::None);
    if (outcome == Outcome::Success) {
        ++totals.succeeded;
        const Bytes got =
            p.download ? ReadAll(dir / "out" / "software.bin") : ReadAll(dir / "target.bin");
        const Bytes want = p.download ? Padded(payload) : Swapped(payload);
        if (got != want) {
            ++totals.wrongAccepted;
            return "reported success but the " +
                   std::string(p.download ? "box's stored image" : "target") + " is wrong";
        }
        // What the transfer's events told the updater must be what went over the line.
        const Bytes sent = p.download ? Padded(payload) : payload;
        const std::uint32_t sum = std::accumulate(sent.begin(), sent.end(), std::uint32_t{0});
        if (result.images.size() != 1 || !result.images[0].accepted ||
            result.images[0].size != sent.size() || result.images[0].checksum != sum ||
            result.images[0].resends != (p.download && p.nakVerdict ? 1 : 0)) {
            ++totals.wrongReports;
            return "reported success with a wrong account of the image: " +
                   vandrelux::station::ToJson(result).dump();
        }
        return std::nullopt;
    }
    if (p.stop == Stop::None && !CannotEnd(p)) {
        ++totals.unexpectedFailures;
        return std::string("failed without a stopping fault: ") +
               vandrelux::station::OutcomeName(outcome);
    }
    const Outcome reason = p.stop == Stop::HangUp ? Outcome::LineLost : Outcome::TimedOut;
    if (outcome != reason) {
        ++totals.wrongReasons;
        return std::string("stopped box gave ") + vandrelux::station::OutcomeName(outcome);
    }
    ++totals.failedAsExpected;
    return std::nullopt;
}

std::string Summary(const Plan& p) {
    std::string text = (p.download ? "download " : "receive ") + std::to_string(p.size) + " B";
    if (p.nakShare > 0)
        text += ", NAKs";
    if (p.nakVerdict)
        text += ", verdict NAK";
    if (p.corruptShare > 0)
        text += ", corrupt blocks of " + std::to_string(p.block);
    if (!p.chatter.empty())
        text += ", chatter";
    if (p.stop == Stop::Silent)
        text += ", silent after " + std::to_string(p.stopAfter);
    if (p.stop == Stop::HangUp)
        text += ", hang-up after " + std::to_string(p.stopAfter);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Runs many transfers with faults in one process and checks every result."};
    Settings s;
    app.add_option("--boxsim", s.boxsim, "The vandrelux-boxsim program")->required();
    app.add_option("--transfers", s.transfers, "Transfers to run")->capture_default_str();
    app.add_option("--seed", s.seed, "Seed for sizes and faults")->capture_default_str();
    app.add_option("--max-bytes", s.maxBytes, "Largest image")->capture_default_str();
    app.add_option("--work", s.work, "Folder for the images (default: a new temporary one)");
    CLI11_PARSE(app, argc, argv);
    signal(SIGPIPE, SIG_IGN);
    if (s.work.empty()) {
        s.work =
            (fs::temp_directory_path() / ("vandrelux-soak-" + std::to_string(getpid()))).string();
    }
    fs::create_directories(s.work);
    s.boxsim = fs::absolute(s.boxsim).string();

    // The updater's message log and the box's text go to a file; this program reports on a
    // copy of the original standard error.
    FILE* report = fdopen(dup(STDERR_FILENO), "w");
    const std::string log = (fs::path(s.work) / "updater.log").string();
    if (report == nullptr || !freopen(log.c_str(), "a", stdout) ||
        !freopen(log.c_str(), "a", stderr)) {
        std::perror("vandrelux-soak");
        return 2;
    }

    std::mt19937 rng(s.seed);
    Totals totals;
    const int warmUp = std::min(20, s.transfers / 4);
    int fdsAtWarmUp = 0;
    long rssAtWarmUp = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < s.transfers; ++i) {
        const Plan plan = Draw(i, rng, s.maxBytes);
        if (const std::optional<std::string> complaint = RunOne(s, i, plan, totals)) {
            std::fprintf(report, "transfer %d (%s): %s\n", i, Summary(plan).c_str(),
                         complaint->c_str());
            // Kept for a look, out of the way of the folders the next transfers reuse.
            std::error_code ec;
            fs::rename(TransferDir(s, i), fs::path(s.work) / ("failed-" + std::to_string(i)), ec);
        }
        if (i + 1 == warmUp) {
            malloc_trim(0);
            fdsAtWarmUp = OpenDescriptors();
            rssAtWarmUp = ResidentKiB();
        }
    }
    malloc_trim(0);
    const int fdsAtEnd = OpenDescriptors();
    const long rssAtEnd = ResidentKiB();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const bool leaked =
        fdsAtEnd > fdsAtWarmUp || (kMemoryMeasurable && rssAtEnd - rssAtWarmUp > 4096);
    std::fprintf(report,
                 "transfers run: %d in %.0f s (succeeded %d, failed as the fault demands %d)\n"
                 "faults injected: %d\n"
                 "wrong images accepted: %d\n"
                 "failures without a stopping fault: %d, failures for the wrong reason: %d\n"
                 "transfers where the box saw the PC break the protocol: %d\n"
                 "successes reported with a wrong account of the image: %d\n"
                 "open descriptors after warm-up %d, at the end %d; resident memory %ld KiB, "
                 "at the end %ld KiB\n",
                 totals.run, seconds, totals.succeeded, totals.failedAsExpected, totals.faults,
                 totals.wrongAccepted, totals.unexpectedFailures, totals.wrongReasons,
                 totals.boxViolations, totals.wrongReports, fdsAtWarmUp, fdsAtEnd, rssAtWarmUp,
                 rssAtEnd);
    const bool ok = totals.wrongAccepted == 0 && totals.unexpectedFailures == 0 &&
                    totals.wrongReasons == 0 && totals.boxViolations == 0 &&
                    totals.wrongReports == 0 && !leaked;
    std::fprintf(report, "%s\n", ok ? "soak passed" : "SOAK FAILED");
    if (ok) {
        fs::remove_all(s.work);
    } else {
        std::fprintf(report, "logs and images are in %s\n", s.work.c_str());
    }
    return ok ? 0 : 1;
}
