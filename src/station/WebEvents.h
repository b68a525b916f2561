// The station on the network: its page, API and metrics (http/), fed by its events. Every event
// goes on to whoever watched the station before (the console) and also into the model the page
// and the API read; while an event stream is open, it goes out there as the JSON event --json
// prints. Commands from the API reach the station through the function it gives.
//
// Threading: the events come on the engine's thread; the server runs on its own.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "station/Events.h"
#include "station/Settings.h"
#include "station/http/Api.h"
#include "station/http/StationModel.h"
#include "web/EventHub.h"
#include "web/Server.h"

namespace vandrelux::station {

class CWebEvents final : public IRunEvents {
public:
    CWebEvents(IRunEvents& inner, http::CStationModel& model, web::CEventHub& hub)
        : m_inner(inner), m_model(model), m_hub(hub) {}

    IPortEvents& AddPort(std::string name) override;
    void Note(std::string_view text) override { m_inner.Note(text); }
    void EmitRun(std::string_view type, nlohmann::json fields) override;
    void PrintAtEnd(std::string_view text) override { m_inner.PrintAtEnd(text); }

private:
    class Port final : public IPortEvents {
    public:
        Port(CWebEvents& run, IPortEvents& inner, std::string name, std::size_t slot)
            : m_run(run), m_inner(inner), m_name(std::move(name)), m_slot(slot) {}

        void Emit(std::string_view type, nlohmann::json fields) override;
        void Log(std::string_view text) override;
        void BoxChar(char ch) override;
        void Note(std::string_view text) override { m_inner.Note(text); }
        void Progress(const ProgressState& state) override;
        void Status(std::string_view text) override { m_inner.Status(text); }
        void StatusTail(std::string tail) override { m_inner.StatusTail(std::move(tail)); }
        void Finish() override;
        void OpenFailed(const std::string& device, const platform::SystemError& error) override {
            m_inner.OpenFailed(device, error);
        }

    private:
        void LogLine();
        void BoxLine();

        CWebEvents& m_run;
        IPortEvents& m_inner;
        std::string m_name;
        std::size_t m_slot;
        std::string m_log;  // message log text not yet ended by a line break
        std::string m_box;  // box text not yet ended by a line break
    };

    // Publishes the event as --json writes it, when a stream listens.
    void Publish(std::string_view type, const nlohmann::json& port, const nlohmann::json& fields);

    IRunEvents& m_inner;
    http::CStationModel& m_model;
    web::CEventHub& m_hub;
    std::deque<Port> m_ports;  // the references handed out stay valid as ports join
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

class CStationWeb {
public:
    // `command` is called on the server's thread and must not wait for the station.
    CStationWeb(const StationSettings& settings, IRunEvents& events,
                std::function<void(const http::Command&)> command);

    // What the station tells: the events given, and the page's model and streams.
    [[nodiscard]] IRunEvents& Events() noexcept { return m_events; }
    // Listens; why it cannot, when it cannot.
    [[nodiscard]] std::optional<std::string> Start() { return m_server.Start(); }
    // Where a browser finds the page, once started.
    [[nodiscard]] std::string Url() const;
    void Stop() { m_server.Stop(); }

private:
    const WebSettings& m_settings;
    http::CStationModel m_model;
    web::CEventHub m_hub;
    CWebEvents m_events;
    http::CApi m_api;
    web::CWebServer m_server;
};

}  // namespace vandrelux::station
