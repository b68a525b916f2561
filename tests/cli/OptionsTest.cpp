#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "TempTree.h"
#include "Version.h"
#include "cli/Options.h"

namespace vandrelux::cli {
namespace {

using protocol::UpdateKind;

ParseResult Parse(const std::string& line) {
    std::vector<std::string> words{"vandrelux-cli"};
    std::istringstream in(line);
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    std::vector<const char*> argv;
    for (const std::string& w : words) {
        argv.push_back(w.c_str());
    }
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(ParseCommandLine, Download_FilesInSendingOrderWhateverTheArgumentOrder) {
    const ParseResult r = Parse(
        "--software app.bin --port /dev/a --logo l.bin --bootstrap b.bin --port /dev/b --ram "
        "--tvprogram tv.bin --ucode u.bin --timeout 2.5 --retries 0 --baud 9600 --json "
        "--report run.json --com1 /dev/c1 --com2 /dev/c2");
    ASSERT_TRUE(r.commandLine) << r.text;
    const CommandLine& line = *r.commandLine;
    EXPECT_EQ(line.command, Command::Update);
    EXPECT_TRUE(line.json);
    EXPECT_EQ(line.reportPath, "run.json");
    const Options& o = line.options;
    EXPECT_EQ(o.ports, (std::vector<std::string>{"/dev/a", "/dev/b"}));
    const std::vector<std::pair<UpdateKind, std::string>> expected = {
        {UpdateKind::Bootstrap, "b.bin"},
        {UpdateKind::Ucode, "u.bin"},
        {UpdateKind::Logo, "l.bin"},
        {UpdateKind::TvProgram, "tv.bin"},
        {UpdateKind::Software, "app.bin"}};
    ASSERT_EQ(o.files.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(o.files[i].kind, expected[i].first) << i;
        EXPECT_EQ(o.files[i].path, expected[i].second) << i;
    }
    EXPECT_TRUE(o.ram);
    EXPECT_EQ(o.timeout, std::chrono::milliseconds(2500));
    EXPECT_EQ(o.retries, 0);
    EXPECT_EQ(o.baudRate, 9600);
    EXPECT_EQ(o.comMap.at(1), "/dev/c1");
    EXPECT_EQ(o.comMap.at(2), "/dev/c2");
    EXPECT_FALSE(o.receiveTo);
}

TEST(ParseCommandLine, Defaults_WaitWithoutLimitAndThreeRetries) {
    const ParseResult r = Parse("--port /dev/a --software app.bin");
    ASSERT_TRUE(r.commandLine) << r.text;
    const Options& o = r.commandLine->options;
    EXPECT_FALSE(o.timeout);
    EXPECT_EQ(o.retries, 3);
    EXPECT_EQ(o.beacon, std::chrono::milliseconds(10));
    EXPECT_EQ(o.baudRate, 115200);
    EXPECT_FALSE(o.ram);
    EXPECT_TRUE(o.comMap.empty());
    EXPECT_FALSE(r.commandLine->json);
    EXPECT_TRUE(r.commandLine->reportPath.empty());
}

TEST(ParseCommandLine, ReceiveListAndDoctor_NeedNoFiles) {
    const ParseResult receive = Parse("--port COM2 --receive out.bin");
    ASSERT_TRUE(receive.commandLine) << receive.text;
    EXPECT_EQ(receive.commandLine->options.receiveTo, "out.bin");
    EXPECT_TRUE(receive.commandLine->options.files.empty());

    const ParseResult list = Parse("--list-ports --json");
    ASSERT_TRUE(list.commandLine) << list.text;
    EXPECT_EQ(list.commandLine->command, Command::ListPorts);
    EXPECT_TRUE(list.commandLine->json);

    const ParseResult doctor = Parse("--doctor --port /dev/a --port /dev/a");
    ASSERT_TRUE(doctor.commandLine) << doctor.text;
    EXPECT_EQ(doctor.commandLine->command, Command::Doctor);
}

TEST(ParseCommandLine, Help_ExitsZeroWithTheUsageText) {
    const ParseResult r = Parse("--help");
    EXPECT_FALSE(r.commandLine);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.text.find("Exit status:"), std::string::npos);
    EXPECT_NE(r.text.find("--port"), std::string::npos);
}

// --version answers even where the rest of the line could not make a run.
TEST(ParseCommandLine, Version_ExitsZeroBeforeTheLineIsChecked) {
    for (const char* line : {"--version", "--port /dev/a --version", "--ram --version"}) {
        const ParseResult r = Parse(line);
        EXPECT_FALSE(r.commandLine) << line;
        EXPECT_EQ(r.exitCode, 0) << line;
        EXPECT_EQ(r.text, "vandrelux-cli " + std::string(kVersion) + "\n") << line;
    }
}

TEST(ParseCommandLine, BeaconPeriod_TakesItsWholeRange) {
    for (const int ms : {1, 1000}) {
        const ParseResult r =
            Parse("--port /dev/a --software s.bin --beacon-ms " + std::to_string(ms));
        ASSERT_TRUE(r.commandLine) << r.text;
        EXPECT_EQ(r.commandLine->options.beacon, std::chrono::milliseconds(ms));
    }
}

TEST(ParseCommandLine, Station_SlotsFromPortsAndGlobsWithItsOwnSettings) {
    const ParseResult r = Parse(
        "--station --watch /dev/serial/by-path/* --watch /dev/ttyACM* --port /dev/a "
        "--software s.bin --units-log units.jsonl --rearm-quiet 0.5 --unit-silence 2.5 "
        "--box-id S/N:(\\w+) --require-box-id --boot-check ^App --boot-check-seconds 7 "
        "--station-id bench-3");
    ASSERT_TRUE(r.commandLine) << r.text;
    const Options& o = r.commandLine->options;
    EXPECT_TRUE(o.station);
    EXPECT_EQ(o.watch, (std::vector<std::string>{"/dev/serial/by-path/*", "/dev/ttyACM*"}));
    EXPECT_EQ(o.ports, (std::vector<std::string>{"/dev/a"}));
    EXPECT_EQ(o.unitsLog, "units.jsonl");
    EXPECT_EQ(o.rearmQuiet, std::chrono::milliseconds(500));
    EXPECT_EQ(o.unitSilence, std::chrono::milliseconds(2500));
    EXPECT_EQ(o.boxId, "S/N:(\\w+)");
    EXPECT_TRUE(o.requireBoxId);
    EXPECT_EQ(o.bootCheck, "^App");
    EXPECT_EQ(o.bootCheckTime, std::chrono::seconds(7));
    EXPECT_EQ(o.stationId, "bench-3");

    const ParseResult watchOnly = Parse("--station --watch /dev/ttyUSB* --software s.bin");
    ASSERT_TRUE(watchOnly.commandLine) << watchOnly.text;
    EXPECT_EQ(watchOnly.commandLine->options.rearmQuiet, std::chrono::milliseconds(3000));
    EXPECT_EQ(watchOnly.commandLine->options.unitSilence, std::chrono::seconds(60));
}

TEST(ParseCommandLine, BadArguments_ExitTwoWithAReason) {
    const std::vector<std::string> bad = {
        "",
        "--software a.bin",
        "--port /dev/a",
        "--port /dev/a --ram",
        "--port /dev/a --software s.bin --receive out.bin",
        "--port /dev/a --port /dev/b --receive out.bin",
        "--port /dev/a --software s.bin --baud 0",
        "--port /dev/a --software s.bin --timeout 0",
        "--port /dev/a --software s.bin --retries -1",
        "--port /dev/a --software s.bin --beacon-ms 0",
        "--port /dev/a --software s.bin --watch /dev/ttyUSB*",
        "--port /dev/a --software s.bin --units-log units.jsonl",
        "--port /dev/a --software s.bin --rearm-quiet 1",
        "--station --software s.bin",
        "--station --port /dev/a --receive out.bin",
        "--station --port /dev/a --software s.bin --timeout 5",
        "--station --port /dev/a --software s.bin --report run.json",
        "--station --port /dev/a --software s.bin --rearm-quiet -1",
        "--station --port /dev/a --software s.bin --rearm-quiet nan",
        "--station --port /dev/a --software s.bin --unit-silence 0",
        "--port /dev/a --software s.bin --unit-silence 5",
        "--port /dev/a --software s.bin --timeout nan",
        "--port rfc2217://h:1 --software s.bin --connect-timeout nan",
        "--station --watch /dev/ttyUSB*",
        "--station --port /dev/a --software s.bin --box-id (",
        "--station --port /dev/a --software s.bin --require-box-id",
        "--station --port /dev/a --software s.bin --boot-check-seconds 5",
        "--port /dev/a --software s.bin --box-id S/N:(\\w+)",
        "--port /dev/a --software s.bin --beacon-ms 1001",
        "--port /dev/a --software s.bin --dance",
        "--list-ports --doctor",
        "--port /dev/a --port /dev/a --software s.bin",
        "--port /dev/a --bootstrap b.bin --ram",
    };
    for (const std::string& line : bad) {
        const ParseResult r = Parse(line);
        EXPECT_FALSE(r.commandLine) << line;
        EXPECT_EQ(r.exitCode, 2) << line;
        EXPECT_FALSE(r.text.empty()) << line;
        EXPECT_EQ(r.text.find('\n'), std::string::npos) << line;
    }
}

TEST(ParseCommandLine, TwoNamesOfOneDevice_Refused) {
    const test::TempTree tree;
    const std::string device = tree.File("ttyUSB0");
    tree.Link("by-id/adapter", device);
    const ParseResult link =
        Parse("--port " + device + " --port " + tree.Path("by-id/adapter") + " --software s.bin");
    EXPECT_FALSE(link.commandLine);
    EXPECT_NE(link.text.find("already given"), std::string::npos) << link.text;

    const ParseResult com =
        Parse("--com1 " + device + " --port COM1 --port " + device + " --software s.bin");
    EXPECT_FALSE(com.commandLine);
    EXPECT_EQ(com.exitCode, 2);
}

TEST(ParseCommandLine, NetworkPorts_TakenAsNamedMalformedOrTwiceRefused) {
    const ParseResult ok = Parse(
        "--port rfc2217://box1:2000 --port tcp://[::1]:2001 --com2 socket://10.0.0.9:4001 "
        "--port COM2 --connect-timeout 0.5 --software s.bin");
    ASSERT_TRUE(ok.commandLine) << ok.text;
    const Options& o = ok.commandLine->options;
    EXPECT_EQ(o.ports.size(), 3U);
    EXPECT_EQ(o.connectTimeout, std::chrono::milliseconds(500));
    EXPECT_EQ(ResolvePort("COM2", o), "socket://10.0.0.9:4001");
    EXPECT_FALSE(Parse("--port tcp://h:1 --software s.bin").commandLine->options.connectTimeout);

    // Two spellings of one port are one port, as two names of one device are.
    for (const char* line : {"--port tcp://Box:2000 --port socket://box:02000 --software s.bin",
                             "--com1 tcp://box:2000 --port COM1 --port tcp://box:2000 --ucode u"}) {
        const ParseResult r = Parse(line);
        EXPECT_FALSE(r.commandLine) << line;
        EXPECT_NE(r.text.find("already given"), std::string::npos) << r.text;
    }
    // The same host and port through the other accepter's scheme is another port.
    EXPECT_TRUE(
        Parse("--port tcp://box:2000 --port rfc2217://box:2000 --software s.bin").commandLine);

    for (const char* line :
         {"--port rfc2217://box --software s.bin", "--port tcp://::1:2000 --software s.bin",
          "--com1 rfc2217://box:0 --port COM1 --software s.bin",
          "--port tcp://h:1 --connect-timeout 0 --software s.bin"}) {
        const ParseResult r = Parse(line);
        EXPECT_FALSE(r.commandLine) << line;
        EXPECT_EQ(r.exitCode, 2) << line;
    }
    EXPECT_NE(Parse("--port rfc2217://box --software s.bin").text.find("not a network port"),
              std::string::npos);
}

TEST(ResolvePort, ComNamesFollowTheMappingPathsStandAsGiven) {
    Options options;
    options.comMap[2] = "/dev/ttyUSB7";
    EXPECT_EQ(ResolvePort("COM2", options), "/dev/ttyUSB7");
    EXPECT_EQ(ResolvePort("/dev/ttyS3", options), "/dev/ttyS3");
}

}  // namespace
}  // namespace vandrelux::cli
