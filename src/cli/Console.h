// Everything the ports of a run tell the operator or a script goes through one console: the message
// log, the box's own text, progress lines, problems and JSON-lines events. Lines from
// several ports never interleave mid-line, and progress bars on a terminal are redrawn in
// place below whatever else was printed.
//
// Threading: every method may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/Events.h"

namespace vandrelux::cli {

using station::ProgressState;

class CConsole {
public:
    struct Settings {
        bool json = false;      // JSON-lines events on `out` instead of the message log
        bool terminal = false;  // `err` is a terminal: draw progress bars in place
        // `out` is the same terminal: its lines must go above the bars, or the next redraw
        // would take them for bars and wipe them.
        bool outSharesTerminal = false;
    };

    CConsole(Settings settings, std::vector<std::string> ports, std::FILE* out, std::FILE* err);

    // A JSON-lines event of `type` for port `port` with `fields`; nothing without --json.
    void Emit(std::size_t port, std::string_view type,
              nlohmann::json fields = nlohmann::json::object());
    // A JSON-lines event about the whole run; its port field is null.
    void EmitRun(std::string_view type, nlohmann::json fields);
    // Message log text; complete lines go out, a partial line waits for its end.
    void Log(std::size_t port, std::string_view text);
    // One character of the box's own text.
    void BoxChar(std::size_t port, char ch);
    // A line for the operator on standard error, prefixed with the program's name.
    void Note(std::size_t port, std::string_view text);
    // A line for the operator that belongs to no port.
    void Note(std::string_view text);
    void Progress(std::size_t port, const ProgressState& state);
    // A port that joined after the start; its index for the other calls.
    std::size_t AddPort(std::string name);
    // The port's line below the text, in words: redrawn in place on a terminal, a plain line
    // when it changes otherwise. Empty takes the line away.
    void Status(std::size_t port, std::string_view text);
    // Words that follow the port's state or progress on its line, such as its counts.
    void StatusTail(std::size_t port, std::string tail);
    // The port is done: its pending partial lines go out and its bar is drawn one last time.
    void Finish(std::size_t port);
    // Text for standard error once every port is done; the bars stay above it as they are.
    void PrintAtEnd(std::string_view text);

    // "[####....]  42%" for `done` of `total`, `width` marks between the brackets.
    [[nodiscard]] static std::string Bar(std::uint64_t done, std::uint64_t total, int width);
    // "1.5 MB", "512 B": sizes for people.
    [[nodiscard]] static std::string Size(double bytes);

private:
    struct PortLines {
        std::string name;
        std::string log;                        // message log text not yet ended by a newline
        std::string box;                        // box text not yet ended by a newline
        std::string bar;                        // the progress line as last rendered
        std::string state;                      // the state in words, as last shown
        std::string tail;                       // what follows the state or progress
        int lastTenth = -1;                     // plain progress: the last tenth printed
        std::optional<ProgressState> progress;  // while the line shows progress, not a state
    };

    void EmitLocked(std::size_t port, std::string_view type, nlohmann::json fields);
    void WriteEvent(std::string_view type, nlohmann::json port, nlohmann::json fields);
    void LogLine(std::size_t port);
    void BoxLine(std::size_t port);
    void ErrLine(const std::string& line);
    void OutLine(const std::string& line);
    // The line for `port` as it stands: its progress or its state, then its tail.
    [[nodiscard]] std::string PortLine(std::size_t port) const;
    // The bars' erasure, and their lines as they are now: text for `err`, which the caller
    // writes at once.
    [[nodiscard]] std::string BoardErasure();
    [[nodiscard]] std::string BoardLines();
    void DrawBoard();
    // `above` (whole lines) where the bars were, and the bars below it on a terminal.
    void Redraw(const std::string& above);
    [[nodiscard]] std::string PortPrefix(std::size_t port) const;
    [[nodiscard]] std::string Render(std::size_t port, const ProgressState& state) const;

    Settings m_settings;
    std::FILE* m_out;
    std::FILE* m_err;
    std::mutex m_lock;
    std::vector<PortLines> m_ports;
    int m_boardLines = 0;       // bar lines currently on the terminal below the text
    bool m_bOutClosed = false;  // standard output failed: its reader went away
    std::chrono::steady_clock::time_point m_lastDraw{};
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

}  // namespace vandrelux::cli
