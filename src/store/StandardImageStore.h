// The image store on the C library's buffered file streams, as the operator's window and the
// CLI use it: update files read in binary mode, the working copy in a path of its own. Stores
// of transfers that run side by side may read their update files through one shared reader.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "protocol/ImageStore.h"
#include "store/UpdateFiles.h"

namespace vandrelux::store {

using protocol::IImageStore;
using protocol::StoreFailure;
using protocol::TargetResult;
using protocol::UpdateImage;

class CStandardImageStore final : public IImageStore {
public:
    // `workingCopy` is where received blocks are collected ("rv.bin" in the current folder).
    // With `shared`, update files are read through it; it must outlive the store.
    explicit CStandardImageStore(std::string workingCopy = "rv.bin",
                                 CSharedUpdateFiles* shared = nullptr);

    [[nodiscard]] UpdateImage ReadUpdateFile(const std::string& path) override;
    [[nodiscard]] bool BeginWorkingCopy() override;
    [[nodiscard]] bool AppendToWorkingCopy(std::span<const std::uint8_t> bytes) override;
    [[nodiscard]] TargetResult FinishTarget(const std::string& target,
                                            std::uint32_t length) override;
    void Close() noexcept override;
    [[nodiscard]] const StoreFailure& LastFailure() const noexcept override { return m_failure; }

    // Whether a file is open: between runs none is.
    [[nodiscard]] bool HoldsOpenFile() const noexcept { return m_pTempFile || m_pTargetFile; }

private:
    // Notes the failure of a call about `file`, in the words of the C library's last error.
    void Failed(const std::string& file);

    std::string m_strTempPath;
    CSharedUpdateFiles* m_pShared;
    FilePtr m_pTempFile;
    FilePtr m_pTargetFile;
    StoreFailure m_failure;
};

}  // namespace vandrelux::store
