#include "cli/Console.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "os/Format.h"
#include "station/Text.h"

namespace vandrelux::cli {

using station::Dump;
using station::Printable;

namespace {

constexpr auto kRedrawPeriod = std::chrono::milliseconds(100);
constexpr int kBarWidth = 24;
// A box that never ends its line still has its text shown, this many bytes at a time.
constexpr std::size_t kBoxLineLimit = 4096;

}  // namespace

CConsole::CConsole(Settings settings, std::vector<std::string> ports, std::FILE* out,
                   std::FILE* err)
    : m_settings(settings), m_out(out), m_err(err) {
    for (std::string& name : ports) {
        m_ports.push_back({std::move(name), {}, {}, {}, {}, {}, -1, {}});
    }
}

std::string CConsole::Bar(std::uint64_t done, std::uint64_t total, int width) {
    const std::uint64_t top = std::max<std::uint64_t>(total, 1);
    const std::uint64_t shown = std::min(done, top);
    const auto marks = static_cast<std::size_t>(shown * static_cast<std::uint64_t>(width) / top);
    const auto percent = static_cast<int>(shown * 100 / top);
    return "[" + std::string(marks, '#') +
           std::string(static_cast<std::size_t>(width) - marks, '.') + "] " +
           platform::Format("%3d%%", percent);
}

std::string CConsole::Size(double bytes) {
    if (bytes >= 1e6) {
        return platform::Format("%.1f MB", bytes / 1e6);
    }
    if (bytes >= 1e3) {
        return platform::Format("%.1f kB", bytes / 1e3);
    }
    return platform::Format("%.0f B", bytes);
}

void CConsole::Emit(std::size_t port, std::string_view type, nlohmann::json fields) {
    const std::lock_guard lock(m_lock);
    EmitLocked(port, type, std::move(fields));
}

void CConsole::EmitRun(std::string_view type, nlohmann::json fields) {
    const std::lock_guard lock(m_lock);
    WriteEvent(type, nullptr, std::move(fields));
}

void CConsole::EmitLocked(std::size_t port, std::string_view type, nlohmann::json fields) {
    WriteEvent(type, m_ports.at(port).name, std::move(fields));
}

void CConsole::WriteEvent(std::string_view type, nlohmann::json port, nlohmann::json fields) {
    if (!m_settings.json) {
        return;
    }
    // The fields come first and win over the common keys, as they always have.
    nlohmann::json event = std::move(fields);
    if (!event.is_object()) {
        event = nlohmann::json::object();
    }
    event.emplace("event", type);
    event.emplace("port", std::move(port));
    event.emplace(
        "t", std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count());
    OutLine(Dump(event));
}

std::string CConsole::PortPrefix(std::size_t port) const {
    return m_ports.size() > 1 ? "[" + m_ports[port].name + "] " : std::string();
}

void CConsole::Log(std::size_t port, std::string_view text) {
    const std::lock_guard lock(m_lock);
    PortLines& lines = m_ports.at(port);
    for (const char ch : text) {
        if (ch == '\r') {
            continue;
        }
        if (ch != '\n') {
            lines.log.push_back(ch);
            continue;
        }
        LogLine(port);
    }
}

void CConsole::LogLine(std::size_t port) {
    PortLines& lines = m_ports[port];
    if (m_settings.json) {
        EmitLocked(port, "log", {{"text", lines.log}});
    } else {
        OutLine(PortPrefix(port) + lines.log);
    }
    lines.log.clear();
}

void CConsole::BoxLine(std::size_t port) {
    PortLines& lines = m_ports[port];
    ErrLine(PortPrefix(port) + Printable(lines.box));
    EmitLocked(port, "box_text", {{"text", lines.box}});
    lines.box.clear();
}

void CConsole::BoxChar(std::size_t port, char ch) {
    const std::lock_guard lock(m_lock);
    PortLines& lines = m_ports.at(port);
    if (ch != '\n') {
        lines.box.push_back(ch);
        if (lines.box.size() >= kBoxLineLimit) {
            BoxLine(port);
        }
        return;
    }
    BoxLine(port);
}

void CConsole::Note(std::size_t port, std::string_view text) {
    const std::lock_guard lock(m_lock);
    ErrLine("vandrelux-cli: " + PortPrefix(port) + std::string(text));
}

void CConsole::Note(std::string_view text) {
    const std::lock_guard lock(m_lock);
    ErrLine("vandrelux-cli: " + std::string(text));
}

void CConsole::PrintAtEnd(std::string_view text) {
    const std::lock_guard lock(m_lock);
    if (m_settings.terminal) {
        DrawBoard();
    }
    // The bars stay on the screen as they were last drawn, above the text.
    m_boardLines = 0;
    for (PortLines& lines : m_ports) {
        lines.bar.clear();
    }
    std::fwrite(text.data(), 1, text.size(), m_err);
    std::fflush(m_err);
}

void CConsole::ErrLine(const std::string& line) {
    Redraw(line + "\n");
}

void CConsole::OutLine(const std::string& line) {
    const bool sharesTerminal = m_settings.terminal && m_settings.outSharesTerminal;
    if (sharesTerminal) {
        const std::string erasure = BoardErasure();
        std::fwrite(erasure.data(), 1, erasure.size(), m_err);
        std::fflush(m_err);
    }
    if (!m_bOutClosed &&
        (std::fprintf(m_out, "%s\n", line.c_str()) < 0 || std::fflush(m_out) != 0)) {
        // A reader that went away (`| head`) costs its own lines, not the run.
        m_bOutClosed = true;
        const std::string why = std::system_category().message(errno);
        Redraw("vandrelux-cli: standard output: " + why + "; nothing more is written there\n");
    }
    if (sharesTerminal) {
        DrawBoard();
    }
}

std::string CConsole::BoardErasure() {
    if (m_boardLines == 0) {
        return {};
    }
    // From the line's start: what the terminal echoed after the bars (^C) moved the cursor.
    std::string erasure = platform::Format("\r\x1b[%dA\x1b[J", m_boardLines);
    m_boardLines = 0;
    return erasure;
}

std::string CConsole::BoardLines() {
    std::string text;
    for (const PortLines& lines : m_ports) {
        if (!lines.bar.empty()) {
            text += lines.bar + "\x1b[K\n";
            ++m_boardLines;
        }
    }
    return text;
}

void CConsole::DrawBoard() {
    Redraw({});
}

void CConsole::Redraw(const std::string& above) {
    // One write: a terminal never shows the bars half taken away.
    std::string text = BoardErasure();
    text += above;
    if (m_settings.terminal) {
        text += BoardLines();
        m_lastDraw = std::chrono::steady_clock::now();
    }
    std::fwrite(text.data(), 1, text.size(), m_err);
    std::fflush(m_err);
}

std::string CConsole::Render(std::size_t port, const ProgressState& state) const {
    const std::string rate = Size(state.bytesPerSecond) + "/s";
    std::string line = state.total > 0 ? Bar(state.done, state.total, kBarWidth) + "  " : "";
    line += platform::Format("%s  %s  %s", m_ports[port].name.c_str(), state.file.c_str(),
                             Size(static_cast<double>(state.done)).c_str());
    if (state.total > 0) {
        line += " of " + Size(static_cast<double>(state.total));
    }
    line += "  " + rate;
    if (!m_ports[port].tail.empty()) {
        line += "  " + m_ports[port].tail;
    }
    return line;
}

std::size_t CConsole::AddPort(std::string name) {
    const std::lock_guard lock(m_lock);
    m_ports.push_back({std::move(name), {}, {}, {}, {}, {}, -1, {}});
    return m_ports.size() - 1;
}

void CConsole::Status(std::size_t port, std::string_view text) {
    const std::lock_guard lock(m_lock);
    PortLines& lines = m_ports.at(port);
    const bool changed = lines.state != text;
    lines.state = std::string(text);
    lines.progress.reset();
    lines.bar = PortLine(port);
    if (m_settings.terminal) {
        DrawBoard();
    } else if (changed && !text.empty()) {
        std::fprintf(m_err, "%s\n", lines.bar.c_str());
        std::fflush(m_err);
    }
}

void CConsole::StatusTail(std::size_t port, std::string tail) {
    const std::lock_guard lock(m_lock);
    PortLines& lines = m_ports.at(port);
    lines.tail = std::move(tail);
    if (!lines.bar.empty()) {
        lines.bar = PortLine(port);
        if (m_settings.terminal) {
            DrawBoard();
        }
    }
}

std::string CConsole::PortLine(std::size_t port) const {
    const PortLines& lines = m_ports[port];
    if (lines.progress) {
        return Render(port, *lines.progress);
    }
    if (lines.state.empty()) {
        return {};
    }
    return lines.name + "  " + lines.state + (lines.tail.empty() ? "" : "  " + lines.tail);
}

void CConsole::Progress(std::size_t port, const ProgressState& state) {
    const std::lock_guard lock(m_lock);
    PortLines& lines = m_ports.at(port);
    lines.progress = state;
    lines.bar = Render(port, state);
    if (m_settings.terminal) {
        if (std::chrono::steady_clock::now() - m_lastDraw >= kRedrawPeriod ||
            state.done == state.total) {
            DrawBoard();
        }
        return;
    }
    // Plain lines: one for every tenth of a file, or of every 10 MB when the size is unknown.
    const auto tenth =
        static_cast<int>(state.total > 0 ? state.done * 10 / state.total : state.done / 10'000'000);
    if (tenth != lines.lastTenth) {
        lines.lastTenth = tenth;
        std::fprintf(m_err, "%s\n", lines.bar.c_str());
        std::fflush(m_err);
    }
}

void CConsole::Finish(std::size_t port) {
    const std::lock_guard lock(m_lock);
    PortLines& lines = m_ports.at(port);
    if (!lines.box.empty()) {
        BoxLine(port);
    }
    if (!lines.log.empty()) {
        LogLine(port);
    }
    if (m_settings.terminal) {
        DrawBoard();
    }
    lines.lastTenth = -1;
}

}  // namespace vandrelux::cli
