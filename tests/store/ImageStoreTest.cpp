#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <random>

#include "BoxFrames.h"
#include "FakeImageStore.h"
#include "TransferFixture.h"
#include "os/Format.h"
#include "protocol/ControlsHost.h"
#include "store/Sha256.h"
#include "store/StandardImageStore.h"
#include "store/UpdateFiles.h"

namespace vandrelux::protocol {

using store::CSharedUpdateFiles;
using store::CStandardImageStore;
using store::ReadWholeUpdateFile;
namespace {

using test::BoxFrame;
using test::Bytes;

constexpr std::uint8_t ACK = 0x06;

// A receive whose staging buffer sits between guard bytes of the test's.
class StagingBufferTest : public ::testing::Test {
protected:
    static constexpr std::size_t kGuard = 64;
    static constexpr std::uint8_t kGuardByte = 0xA5;

    StagingBufferTest() { storage.fill(kGuardByte); }

    [[nodiscard]] bool GuardsIntact() const {
        const auto intact = [](std::uint8_t b) { return b == kGuardByte; };
        return std::all_of(storage.begin(), storage.begin() + kGuard, intact) &&
               std::all_of(storage.end() - kGuard, storage.end(), intact);
    }

    // Feeds the bytes one by one and stops at the first one after which the buffer's rules
    // are broken; says which byte and which rule.
    std::string Feed(const Bytes& bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            transfer.OnPortRxChar(bytes[i], 1);
            if (!GuardsIntact()) {
                return "guard bytes overwritten at byte " + std::to_string(i);
            }
            if (const char* fault = test::Internals(transfer).RxBufferFault()) {
                return std::string(fault) + " at byte " + std::to_string(i);
            }
        }
        return {};
    }

    std::array<std::uint8_t, kRxBufSize + 2 * kGuard> storage{};
    std::vector<std::string> journal;
    platform::FakeToolkit toolkit;
    test::JournalPort port{journal};
    test::RecordingLog log;
    test::FakeImageStore store{journal};
    CControlsHost host{toolkit};
    CTransfer transfer{host, port, log, store,
                       std::span<std::uint8_t, kRxBufSize>(storage.data() + kGuard, kRxBufSize)};
};

TEST_F(StagingBufferTest, TooLargeOrRefusedBlocks_StayWithinBufferBoundaries) {
    struct Block {
        Bytes frame;
        bool accepted;
        Bytes payload;
    };
    std::vector<Block> plan;
    const auto good = [&](std::size_t n, std::uint32_t seed) {
        const Bytes payload = test::Pattern(n, seed);
        plan.push_back({BoxFrame(0xF2, payload), true, payload});
    };
    const auto refused = [&](Bytes frame) { plan.push_back({std::move(frame), false, {}}); };

    // The edges of the room: a block that fills it exactly, one byte more, a refusal at the
    // very end of the buffer, lengths beyond 4096 and with their top bit set, an empty block.
    // What is left of a refused frame after its refusal reads as stray bytes, so those are
    // chosen not to look like the start of a block.
    good(4096, 3);
    good(904, 5);
    good(1, 7);
    Bytes corrupt = BoxFrame(0xF2, test::Pattern(4096, 9));
    corrupt[6 + 4095] ^= 0xFF;
    refused(corrupt);
    good(4096, 9);
    refused(BoxFrame(0xF2, Bytes(4100, 1), 0x7FFFFFFF));
    refused(BoxFrame(0xF2, Bytes(8, 1), 0xFFFFFFF0));
    refused({0xF2, 0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44});
    good(903, 15);
    std::mt19937 random(20261207);
    for (std::uint32_t i = 0; i < 300; ++i) {
        const auto n = static_cast<std::size_t>(random() % 4096) + 1;
        if (random() % 5 == 0) {
            Bytes frame = BoxFrame(0xF2, test::Pattern(n, i));
            frame[6 + random() % n] ^= 0x10;
            refused(frame);
        } else {
            good(n, i);
        }
    }

    Bytes image;
    for (const Block& b : plan) {
        image.insert(image.end(), b.payload.begin(), b.payload.end());
    }
    image.push_back(0x42);  // the final block's
    const auto length = static_cast<std::uint32_t>(image.size());
    toolkit.SetText(ids::kReceivePath, "/out/target");
    transfer.OnToReceive();
    ASSERT_EQ(Feed({0x16, ACK, ACK, ACK, 0x47}), "");
    ASSERT_EQ(Feed(BoxFrame(0xF1, test::HeaderPayload(length, ByteSum(image)))), "");
    ASSERT_EQ(Feed({0x47}), "");
    for (std::size_t i = 0; i < plan.size(); ++i) {
        ASSERT_EQ(Feed(plan[i].frame), "") << "block " << i;
        ASSERT_EQ(transfer.Outcome().status, TransferStatus::Running) << "block " << i;
    }
    ASSERT_EQ(Feed(BoxFrame(0xF3, {0x42})), "");

    EXPECT_EQ(store.workingCopy, image);
    EXPECT_EQ(store.files["/out/target"], test::Swapped(image));
    EXPECT_EQ(transfer.Outcome().status, TransferStatus::Succeeded);
}

class StandardImageStoreTest : public test::TransferTest {};

TEST_F(StandardImageStoreTest, FilesOpenOnlyWhileInUse_AndEachWorkingCopyStartsEmpty) {
    CStandardImageStore files((dir / "work.bin").string());
    const std::string target = (dir / "target.bin").string();
    EXPECT_EQ(files.FinishTarget(target, 4).status, TargetResult::Status::WorkingCopyNotClosed);
    EXPECT_FALSE(std::filesystem::exists(target));

    ASSERT_TRUE(files.BeginWorkingCopy());
    ASSERT_TRUE(files.AppendToWorkingCopy(Bytes{1, 2, 3}));
    EXPECT_TRUE(files.HoldsOpenFile());
    files.Close();
    EXPECT_FALSE(files.HoldsOpenFile());
    EXPECT_FALSE(files.AppendToWorkingCopy(Bytes{4}));

    ASSERT_TRUE(files.BeginWorkingCopy());
    ASSERT_TRUE(files.AppendToWorkingCopy(Bytes{9, 8, 7}));
    const TargetResult done = files.FinishTarget(target, 3);
    EXPECT_EQ(done.status, TargetResult::Status::Written);
    EXPECT_EQ(done.copied, 3U);
    EXPECT_EQ(done.sum, 24U);
    EXPECT_FALSE(files.HoldsOpenFile());
    EXPECT_EQ(ReadFile(target), (Bytes{8, 9, 7}));
    EXPECT_EQ(ReadFile(dir / "work.bin"), (Bytes{9, 8, 7}));

    // An odd-sized update file comes with its pad byte.
    const UpdateImage odd = files.ReadUpdateFile(WriteFile("odd", {1, 2, 3}));
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(*odd, (Bytes{1, 2, 3, 0}));
    EXPECT_EQ(files.ReadUpdateFile((dir / "absent").string()), nullptr);
    EXPECT_EQ(files.ReadUpdateFile(dir.string()), nullptr);
}

TEST_F(StandardImageStoreTest, SharedReads_OneCopyWhileHeld_AnyChangeReadAfresh) {
    const auto padded = [](Bytes bytes) {
        if (bytes.size() % 2 != 0) {
            bytes.push_back(0);
        }
        return bytes;
    };
    // Three compared pieces and a bit, and odd, so its pad byte is shared too: a change at the
    // very end of the file must still be seen.
    Bytes content = test::Pattern(150 * 1024 + 3);
    const std::string path = WriteFile("sw", content);
    CSharedUpdateFiles shared;
    CStandardImageStore first((dir / "a.bin").string(), &shared);
    CStandardImageStore second((dir / "b.bin").string(), &shared);

    const UpdateImage held = first.ReadUpdateFile(path);
    ASSERT_NE(held, nullptr);
    const UpdateImage again = second.ReadUpdateFile(path);
    EXPECT_EQ(again.get(), held.get());
    EXPECT_EQ(*again, padded(content));

    // Same length, same modification time, one byte different: read afresh, the holder's bytes
    // untouched.
    const auto modified = std::filesystem::last_write_time(path);
    const Bytes before = content;
    content.back() ^= 0xFF;
    WriteFile("sw", content);
    std::filesystem::last_write_time(path, modified);
    const UpdateImage changed = second.ReadUpdateFile(path);
    ASSERT_NE(changed, nullptr);
    EXPECT_NE(changed.get(), held.get());
    EXPECT_EQ(*changed, padded(content));
    EXPECT_EQ(*held, padded(before));

    content.resize(content.size() - 2);
    WriteFile("sw", content);
    const UpdateImage shorter = first.ReadUpdateFile(path);
    ASSERT_NE(shorter, nullptr);
    EXPECT_EQ(*shorter, padded(content));

    std::filesystem::remove(path);
    EXPECT_EQ(first.ReadUpdateFile(path), nullptr);
    WriteFile("sw", content);
    const UpdateImage back = second.ReadUpdateFile(path);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(*back, padded(content));

    // One byte longer, so as long as the held padded image, but its last byte is no pad.
    content.push_back(9);
    WriteFile("sw", content);
    const UpdateImage even = first.ReadUpdateFile(path);
    ASSERT_NE(even, nullptr);
    EXPECT_EQ(*even, content);

    // What no transfer holds is not kept.
    const std::string logo = WriteFile("logo", {});
    const UpdateImage empty = first.ReadUpdateFile(logo);
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->empty());
    EXPECT_EQ(empty.use_count(), 1);
}

TEST(Sha256, KnownDigestsWholeAndInUnevenPieces) {
    const auto text = [](std::string_view s) {
        return Bytes(reinterpret_cast<const std::uint8_t*>(s.data()),
                     reinterpret_cast<const std::uint8_t*>(s.data()) + s.size());
    };
    const struct {
        Bytes input;
        const char* digest;
    } cases[] = {
        {{}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {text("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // Around the 64-byte block, where the padding takes one block more or not.
        {Bytes(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {Bytes(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {Bytes(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        // Two blocks: the length no longer fits after the message's own last block.
        {text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {Bytes(1'000'000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(store::Sha256Hex(c.input), c.digest);
        store::CSha256 pieces;
        for (std::size_t at = 0, step = 1; at < c.input.size(); at += step, step = step * 3 + 1) {
            pieces.Update({c.input.data() + at, std::min(step, c.input.size() - at)});
        }
        EXPECT_EQ(store::HexDigits(pieces.Finish()), c.digest);
    }
}

TEST_F(StandardImageStoreTest, FileDigest_OfTheFileWithoutItsPad_EachImageItsOwn) {
    CSharedUpdateFiles shared;
    const std::string path = WriteFile("sw", {'a', 'b', 'c'});
    const UpdateImage held = shared.Read(path).image;
    EXPECT_EQ(shared.FileDigest(held),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Replaced while a transfer still holds the first image: each keeps its own digest.
    WriteFile("sw", {'a', 'b', 'c', 'd'});
    const UpdateImage changed = shared.Read(path).image;
    EXPECT_EQ(shared.FileDigest(changed),
              "88d4266fd4e6338d13b845fcf289579d209c897823b9217da3e161936f031589");
    EXPECT_EQ(shared.FileDigest(held),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(shared.FileDigest(std::make_shared<const Bytes>(Bytes{1})), "");
}

}  // namespace
}  // namespace vandrelux::protocol
