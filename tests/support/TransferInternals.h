// The one way tests and the fuzz targets reach a transfer's own fields, under the names the
// transfer gives them. Prefer what the transfer shows outside: the bytes it sends, its files,
// its events and its outcome.
#pragma once

#include <ostream>

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
        : m_bReceiveMode(t.m_bReceiveMode),
          m_bDownloadMode(t.m_bDownloadMode),
          m_bHandshake(t.m_bHandshake),
          m_nState(t.m_nState),
          m_nSubState(t.m_nSubState),
          m_nCount(t.m_nCount),
          m_nDownState(t.m_nDownState),
          m_nBlockLen(t.m_nBlockLen),
          m_pWrite(t.m_pWrite),
          m_pBlockStart(t.m_pBlockStart),
          m_nFree(t.m_nFree),
          m_nReceived(t.m_nReceived),
          m_strTargetPath(t.m_strTargetPath),
          m_nFileIndex(t.m_nFileIndex),
          m_strFilePath(t.m_strFilePath),
          m_Header(t.m_Header) {}

    bool& m_bReceiveMode;
    bool& m_bDownloadMode;
    bool& m_bHandshake;
    protocol::ReceiveState& m_nState;
    std::uint32_t& m_nSubState;
    int& m_nCount;
    protocol::DownloadState& m_nDownState;
    std::int32_t& m_nBlockLen;
    std::uint32_t& m_pWrite;
    std::uint32_t& m_pBlockStart;
    std::int32_t& m_nFree;
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
