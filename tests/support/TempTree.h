// A scratch folder for one test, removed with it, and the few ways tests fill it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace vandrelux::test {

class TempTree {
public:
    TempTree()
        : m_root(std::filesystem::temp_directory_path() /
                 ("vandrelux-tree-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
        std::filesystem::remove_all(m_root);
        std::filesystem::create_directories(m_root);
    }
    ~TempTree() {
        std::error_code ec;
        std::filesystem::remove_all(m_root, ec);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    [[nodiscard]] std::string Path(const std::string& relative = {}) const {
        return relative.empty() ? m_root.string() : (m_root / relative).string();
    }

    // Writes `text` to `relative`, creating its folders.
    std::string File(const std::string& relative, const std::string& text = {}) const {
        const std::filesystem::path p = m_root / relative;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p) << text;
        return p.string();
    }

    std::string Folder(const std::string& relative) const {
        std::filesystem::create_directories(m_root / relative);
        return Path(relative);
    }

    // A symbolic link at `relative` to `target`, taken as it stands.
    void Link(const std::string& relative, const std::string& target) const {
        const std::filesystem::path p = m_root / relative;
        std::filesystem::create_directories(p.parent_path());
        std::filesystem::create_symlink(target, p);
    }

private:
    std::filesystem::path m_root;
};

}  // namespace vandrelux::test
