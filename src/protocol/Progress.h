// The progress bar and the size, elapsed, remaining and throughput texts of one image.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/TransferHost.h"

namespace vandrelux::protocol {

// "%.2d:%.2d.%.1d" of t milliseconds: minutes, seconds, tenths.
[[nodiscard]] std::string FormatTime(std::uint32_t ms);

class CProgressDisplay {
public:
    explicit CProgressDisplay(ITransferHost& host) : m_host(host) {}

    // `whole` bytes move in bar units of `unit` bytes.
    void Start(std::uint32_t whole, std::uint32_t unit);
    void Step();
    // The bar at `done` bytes, in whole units; only FillBar reaches the top.
    void StepTo(std::uint32_t done);
    void Refresh(std::uint32_t done);
    // The bar goes to the top of its range only when `fillBar` is set.
    void End(bool fillBar);
    void FillBar();
    void Clear();

    std::uint32_t m_dwStartTick = 0;
    std::uint32_t m_dwTimeMs = 0;
    int m_nMinutes = 0;
    int m_nSeconds = 0;
    int m_nTenths = 0;

private:
    void ShowTime(ProgressText text, std::uint32_t ms);
    void ShowSize(std::uint32_t done);
    [[nodiscard]] std::uint32_t Elapsed() const;
    void SetBar(std::uint64_t units);

    ITransferHost& m_host;
    std::uint32_t m_nWhole = 0;
    std::uint32_t m_nUnit = 1;
    std::uint64_t m_nTop = 1;    // the range's top in bar units, W / U + 1
    std::uint64_t m_nScale = 1;  // bar units per control step, so the top fits 16 bits
    std::uint64_t m_nPosition = 0;
};

}  // namespace vandrelux::protocol
