#include "protocol/Progress.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "os/Format.h"

namespace vandrelux::protocol {

namespace {

constexpr std::uint64_t kBarLimit = std::numeric_limits<std::uint16_t>::max();
constexpr std::uint32_t kAssumedRate = 10000;  // bytes per second before anything has moved

using platform::Format;

std::uint32_t Kilobytes(std::uint32_t bytes) {
    return bytes / 1024 + 1;
}

}  // namespace

std::string FormatTime(std::uint32_t ms) {
    return Format("%.2u:%.2u.%.1u", ms / 60000, ms % 60000 / 1000, ms % 60000 % 1000 / 100);
}

void CProgressDisplay::Start(std::uint32_t whole, std::uint32_t unit) {
    m_dwStartTick = m_host.TickCount();
    m_nWhole = whole;
    m_nUnit = unit;
    m_nTop = whole / unit + 1;
    m_nScale = (m_nTop + kBarLimit - 1) / kBarLimit;
    m_host.SetProgressRange(static_cast<std::uint16_t>(m_nTop / m_nScale));
    SetBar(0);
    m_host.SetProgressText(ProgressText::Size, Format("0K / %uK", Kilobytes(whole)));
    m_host.SetProgressText(ProgressText::Elapsed, "");
    const std::uint32_t s = whole / kAssumedRate;
    m_host.SetProgressText(ProgressText::Remaining, Format("%.2u:%.2u.0", s / 60, s % 60));
    m_host.SetProgressText(ProgressText::Throughput, "");
}

void CProgressDisplay::Step() {
    SetBar(m_nPosition + 1);
}

void CProgressDisplay::StepTo(std::uint32_t done) {
    SetBar(done / m_nUnit);
}

void CProgressDisplay::Refresh(std::uint32_t done) {
    ShowSize(done);
    const std::uint32_t t = Elapsed();
    ShowTime(ProgressText::Elapsed, t);
    // No millisecond has passed yet: count it as one rather than divide by zero.
    const std::uint64_t tt = std::max<std::uint32_t>(t, 1);
    m_host.SetProgressText(
        ProgressText::Throughput,
        Format("%llu Bps", static_cast<unsigned long long>(std::uint64_t{done} * 1000 / tt)));
    const std::uint64_t rate = std::max<std::uint64_t>(done / tt, 1);
    const auto left = static_cast<std::uint32_t>((m_nWhole - std::min(done, m_nWhole)) / rate);
    ShowTime(ProgressText::Remaining, left);
}

void CProgressDisplay::End(bool fillBar) {
    if (fillBar) {
        FillBar();
    }
    ShowSize(m_nWhole);
    const std::uint32_t t = Elapsed();
    ShowTime(ProgressText::Elapsed, t);
    const std::uint64_t tt = std::max<std::uint32_t>(t, 1);
    m_host.SetProgressText(
        ProgressText::Throughput,
        Format("%llu Bps", static_cast<unsigned long long>(std::uint64_t{m_nWhole} * 1000 / tt)));
    ShowTime(ProgressText::Remaining, 0);
}

void CProgressDisplay::FillBar() {
    SetBar(m_nTop);
}

void CProgressDisplay::Clear() {
    SetBar(0);
    for (const ProgressText text : {ProgressText::Size, ProgressText::Elapsed,
                                    ProgressText::Remaining, ProgressText::Throughput}) {
        m_host.SetProgressText(text, "");
    }
}

void CProgressDisplay::ShowTime(ProgressText text, std::uint32_t ms) {
    m_dwTimeMs = ms;
    m_nMinutes = static_cast<int>(ms / 60000);
    m_nSeconds = static_cast<int>(ms % 60000 / 1000);
    m_nTenths = static_cast<int>(ms % 60000 % 1000 / 100);
    m_host.SetProgressText(text, FormatTime(ms));
}

void CProgressDisplay::ShowSize(std::uint32_t done) {
    m_host.SetProgressText(ProgressText::Size,
                           Format("%uK / %uK", Kilobytes(done), Kilobytes(m_nWhole)));
}

std::uint32_t CProgressDisplay::Elapsed() const {
    return m_host.TickCount() - m_dwStartTick;
}

void CProgressDisplay::SetBar(std::uint64_t units) {
    m_nPosition = units;
    m_host.SetProgressPos(static_cast<int>(units / m_nScale));
}

}  // namespace vandrelux::protocol
