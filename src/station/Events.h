// What a port's units tell whoever watches them (the CLI's console, and anything else that shows
// a run): the message log, the box's own text, notes for the operator, progress, the port's state
// in words, and machine-readable events, which are the CLI's --json lines.
//
// Threading: the thread that drives the port; an implementation shared by several threads
// guards itself.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "device/SerialDevice.h"

namespace vandrelux::station {

struct ProgressState {
    std::string file;         // the file's name without its folder
    std::uint64_t done = 0;   // bytes acknowledged (download) or collected (receive)
    std::uint64_t total = 0;  // 0 when the size is not known in advance
    double bytesPerSecond = 0;
};

class IPortEvents {
public:
    virtual ~IPortEvents() = default;

    // An event of `type` with `fields`.
    virtual void Emit(std::string_view type, nlohmann::json fields) = 0;
    // Message log text; it ends its lines with a line break.
    virtual void Log(std::string_view text) = 0;
    // One character of the box's own text.
    virtual void BoxChar(char ch) = 0;
    // A line for the operator.
    virtual void Note(std::string_view text) = 0;
    virtual void Progress(const ProgressState& state) = 0;
    // The port's state in words; empty takes it away.
    virtual void Status(std::string_view text) = 0;
    // Words that follow the port's state or progress, such as its counts.
    virtual void StatusTail(std::string tail) = 0;
    // A unit on the port is done: text still pending goes out.
    virtual void Finish() = 0;
    // `device` could not be opened, for `error`: what a person can check.
    virtual void OpenFailed(const std::string& device, const platform::SystemError& error) = 0;
};

class IRunEvents {
public:
    virtual ~IRunEvents() = default;

    // A port that joins the run, by the name the events give it; the run keeps the reference.
    virtual IPortEvents& AddPort(std::string name) = 0;
    // A line for the operator that belongs to no port.
    virtual void Note(std::string_view text) = 0;
    // An event about the whole run.
    virtual void EmitRun(std::string_view type, nlohmann::json fields) = 0;
    // Text for the operator once the run is over, such as a table of totals.
    virtual void PrintAtEnd(std::string_view text) = 0;
};

}  // namespace vandrelux::station
