// The console as a run or the station sees it: their ports' events become its lines, bars and
// JSON events, and a port that cannot be opened gets the checks --doctor makes.
//
// Threading: as the console's, any thread.
#pragma once

#include <deque>
#include <string>

#include "cli/Console.h"
#include "cli/Options.h"
#include "station/Events.h"

namespace vandrelux::cli {

class CConsoleEvents final : public station::IRunEvents {
public:
    CConsoleEvents(CConsole& console, const Options& options)
        : m_console(console), m_options(options) {}

    station::IPortEvents& AddPort(std::string name) override;
    void Note(std::string_view text) override { m_console.Note(text); }
    void EmitRun(std::string_view type, nlohmann::json fields) override {
        m_console.EmitRun(type, std::move(fields));
    }
    void PrintAtEnd(std::string_view text) override { m_console.PrintAtEnd(text); }

private:
    class Port final : public station::IPortEvents {
    public:
        Port(CConsole& console, std::size_t index, const Options& options)
            : m_console(console), m_index(index), m_options(options) {}

        void Emit(std::string_view type, nlohmann::json fields) override {
            m_console.Emit(m_index, type, std::move(fields));
        }
        void Log(std::string_view text) override { m_console.Log(m_index, text); }
        void BoxChar(char ch) override { m_console.BoxChar(m_index, ch); }
        void Note(std::string_view text) override { m_console.Note(m_index, text); }
        void Progress(const station::ProgressState& state) override {
            m_console.Progress(m_index, state);
        }
        void Status(std::string_view text) override { m_console.Status(m_index, text); }
        void StatusTail(std::string tail) override {
            m_console.StatusTail(m_index, std::move(tail));
        }
        void Finish() override { m_console.Finish(m_index); }
        void OpenFailed(const std::string& device, const platform::SystemError& error) override;

    private:
        CConsole& m_console;
        std::size_t m_index;
        const Options& m_options;
    };

    CConsole& m_console;
    const Options& m_options;
    std::deque<Port> m_ports;  // the references handed out stay valid as ports join
};

}  // namespace vandrelux::cli
