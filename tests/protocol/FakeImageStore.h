// An image store in memory for the protocol tests: update files by path, the working copy and
// the targets as bytes, every call written to a journal it may share with a port, and faults on
// request.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/Frames.h"
#include "protocol/ImageStore.h"
#include "protocol/PortWriter.h"

namespace vandrelux::test {

class FakeImageStore final : public protocol::IImageStore {
public:
    explicit FakeImageStore(std::vector<std::string>& journal) : m_journal(journal) {}

    protocol::UpdateImage ReadUpdateFile(const std::string& path) override {
        m_journal.push_back("read " + path);
        const auto file = files.find(path);
        if (file == files.end()) {
            failure = {path, "No such file or directory"};
            return nullptr;
        }
        auto image = std::make_shared<std::vector<std::uint8_t>>(file->second);
        if (image->size() % 2 != 0) {
            image->push_back(0);  // as every store pads
        }
        return image;
    }

    bool BeginWorkingCopy() override {
        m_journal.emplace_back("begin");
        if (failBegin) {
            failure = {"rv.bin", "Permission denied"};
            return false;
        }
        workingCopy.clear();
        open = true;
        return true;
    }

    bool AppendToWorkingCopy(std::span<const std::uint8_t> bytes) override {
        m_journal.push_back("append " + std::to_string(bytes.size()));
        if (!open || workingCopy.size() + bytes.size() > room) {
            failure = {"rv.bin", "No space left on device"};
            return false;
        }
        workingCopy.insert(workingCopy.end(), bytes.begin(), bytes.end());
        return true;
    }

    protocol::TargetResult FinishTarget(const std::string& target, std::uint32_t length) override {
        m_journal.push_back("finish " + target + " " + std::to_string(length));
        protocol::TargetResult result;
        if (!open) {
            result.status = protocol::TargetResult::Status::WorkingCopyNotClosed;
            return result;
        }
        open = false;
        if (finishFault) {
            failure = {target, "Input/output error"};
            result.status = *finishFault;
            return result;
        }
        std::vector<std::uint8_t> copy(
            workingCopy.begin(),
            workingCopy.begin() +
                std::min<std::ptrdiff_t>(length, static_cast<std::ptrdiff_t>(workingCopy.size())));
        for (std::size_t i = 0; i + 1 < copy.size(); i += 2) {
            std::swap(copy[i], copy[i + 1]);
        }
        result.copied = static_cast<std::uint32_t>(copy.size());
        result.sum = protocol::ByteSum(copy);
        files[target] = std::move(copy);
        return result;
    }

    const protocol::StoreFailure& LastFailure() const noexcept override { return failure; }

    void Close() noexcept override {
        if (open) {
            m_journal.emplace_back("close");
        }
        open = false;
    }

    std::map<std::string, std::vector<std::uint8_t>> files;  // update files, and targets written
    std::vector<std::uint8_t> workingCopy;
    bool open = false;
    bool failBegin = false;
    std::size_t room = SIZE_MAX;  // bytes the working copy takes before appends fail
    std::optional<protocol::TargetResult::Status> finishFault;
    protocol::StoreFailure failure;

private:
    std::vector<std::string>& m_journal;
};

// A port that writes what the transfer sends into the journal: single bytes in hex, frames by
// their length.
class JournalPort final : public protocol::IPortWriter {
public:
    explicit JournalPort(std::vector<std::string>& journal) : m_journal(journal) {}

    void EnsureSendBuffer(std::uint32_t /*size*/) override {}
    void RequestWrite(const std::uint8_t* data, std::uint32_t length) override {
        static constexpr char kHex[] = "0123456789ABCDEF";
        m_journal.push_back(length == 1
                                ? std::string("send ") + kHex[data[0] >> 4] + kHex[data[0] & 0xF]
                                : "send frame of " + std::to_string(length));
    }

private:
    std::vector<std::string>& m_journal;
};

}  // namespace vandrelux::test
