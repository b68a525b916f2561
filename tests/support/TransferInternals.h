// The one way tests and the fuzz targets reach a transfer's own fields, under the names the
// transfer gives them. Prefer what the transfer shows outside: the bytes it sends, its files,
// its events and its outcome.
#pragma once

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <span>

#include "protocol/Transfer.h"

namespace vandrelux::protocol {

// For readable test failures.
inline void PrintTo(ReceiveState state, std::ostream* out) {
    *out << "receive state " << static_cast<unsigned>(state);
}
inline void PrintTo(DownloadState state, std::ostream* out) {
    *out << "download state " << static_cast<unsigned>(state);
}

}  // namespace vandrelux::protocol

namespace vandrelux::test {

struct TransferInternals {
    explicit TransferInternals(protocol::CTransfer& t)
        : m_RxBuf(t.m_RxBuf),
          m_bReceiveMode(t.m_bReceiveMode),
          m_bDownloadMode(t.m_bDownloadMode),
          m_bHandshake(t.m_bHandshake),
          m_nState(t.m_nState),
          m_nSubState(t.m_nSubState),
          m_nCount(t.m_nCount),
          m_nDownState(t.m_nDownState),
          m_nDownCount(t.m_nDownCount),
          m_nBlockLen(t.m_nBlockLen),
          m_nFree(t.m_nFree),
          m_pWrite(t.m_pWrite),
          m_pBlockStart(t.m_pBlockStart),
          m_nReceived(t.m_nReceived),
          m_strTargetPath(t.m_strTargetPath),
          m_nFileIndex(t.m_nFileIndex),
          m_strFilePath(t.m_strFilePath),
          m_Header(t.m_Header) {}

    // What breaks the staging buffer's rules while blocks are read, or null: positions inside
    // the buffer, and the room not yet promised to a block matching what is written.
    [[nodiscard]] const char* RxBufferFault() const {
        if (m_nState != protocol::ReceiveState::Blocks) {
            return nullptr;
        }
        constexpr auto kSize = static_cast<std::int64_t>(protocol::kRxBufSize);
        const std::int64_t write = m_pWrite;
        const std::int64_t blockStart = m_pBlockStart;
        const std::int64_t reserved = m_nSubState >= 2 ? std::max(m_nBlockLen, 0) : 0;
        const std::int64_t used = (m_nSubState >= 2 ? blockStart : write) + reserved;
        if (m_nFree < 0 || m_nFree > kSize) {
            return "free room outside 0..5000";
        }
        if (write > kSize || blockStart > write) {
            return "write position outside the buffer or before its block";
        }
        if (used + m_nFree != kSize) {
            return "free room disagrees with what is written and reserved";
        }
        if (m_nSubState >= 2 && write > blockStart + reserved) {
            return "block written beyond the room reserved for it";
        }
        return nullptr;
    }

    std::span<std::uint8_t, protocol::kRxBufSize> m_RxBuf;
    bool& m_bReceiveMode;
    bool& m_bDownloadMode;
    bool& m_bHandshake;
    protocol::ReceiveState& m_nState;
    std::uint32_t& m_nSubState;
    int& m_nCount;
    protocol::DownloadState& m_nDownState;
    int& m_nDownCount;
    std::int32_t& m_nBlockLen;
    std::int32_t& m_nFree;
    std::uint32_t& m_pWrite;
    std::uint32_t& m_pBlockStart;
    std::uint32_t& m_nReceived;
    std::string& m_strTargetPath;
    protocol::UpdateKind& m_nFileIndex;
    std::string& m_strFilePath;
    protocol::ImageHeader& m_Header;
};

[[nodiscard]] inline TransferInternals Internals(protocol::CTransfer& t) {
    return TransferInternals(t);
}

}  // namespace vandrelux::test
