// A CTransfer wired to the fake toolkit, a port that records every request and a log that
// keeps both panes' text, with a scratch folder for the files a run creates.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "TransferInternals.h"
#include "protocol/ControlIds.h"
#include "protocol/ControlsHost.h"
#include "protocol/Transfer.h"
#include "store/StandardImageStore.h"
#include "toolkit/fake/FakeToolkit.h"

namespace vandrelux::test {

using Bytes = std::vector<std::uint8_t>;

class RecordingPort final : public protocol::IPortWriter {
public:
    void EnsureSendBuffer(std::uint32_t size) override { bufferSizes.push_back(size); }
    void RequestWrite(const std::uint8_t* data, std::uint32_t length) override {
        requests.emplace_back(data, data + length);
        if (onRequest) {
            onRequest();
        }
    }

    // Every byte requested since the last call, in order.
    Bytes Take() {
        Bytes all;
        for (const Bytes& r : requests) {
            all.insert(all.end(), r.begin(), r.end());
        }
        requests.clear();
        return all;
    }

    std::vector<Bytes> requests;
    std::vector<std::uint32_t> bufferSizes;
    std::function<void()> onRequest;  // called after each request is recorded
};

class RecordingLog final : public protocol::ITransferLog {
public:
    void AppendText(std::string_view text) override { messages.append(text); }
    void AppendChar(char ch) override { terminal.push_back(ch); }

    std::string messages;
    std::string terminal;
};

class TransferTest : public ::testing::Test {
protected:
    TransferTest()
        : dir(std::filesystem::temp_directory_path() /
              ("vandrelux-test-" +
               std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name())),
          store((Prepare(dir) / "rv.bin").string()),
          transfer(host, port, log, store) {}

    ~TransferTest() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    static const std::filesystem::path& Prepare(const std::filesystem::path& d) {
        std::filesystem::remove_all(d);
        std::filesystem::create_directories(d);
        return d;
    }

    void Feed(std::initializer_list<std::uint8_t> bytes) { Feed(Bytes(bytes)); }
    void Feed(const Bytes& bytes) {
        for (const std::uint8_t b : bytes) {
            transfer.OnPortRxChar(b, 1);
        }
    }

    std::string WriteFile(const std::string& name, const Bytes& content) {
        const std::filesystem::path p = dir / name;
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(content.size()));
        return p.string();
    }

    static Bytes ReadFile(const std::filesystem::path& p) {
        std::ifstream in(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::filesystem::path dir;
    platform::FakeToolkit toolkit;
    protocol::CControlsHost host{toolkit};
    RecordingPort port;
    RecordingLog log;
    store::CStandardImageStore store;
    protocol::CTransfer transfer;
};

// Bytes i*seed mod 251: never periodic at 2, 4096 or 5000, so misplaced bytes show.
inline Bytes Pattern(std::size_t n, std::uint32_t seed = 7) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>((i * seed + 3) % 251);
    }
    return b;
}

}  // namespace vandrelux::test
