// A file the handset tests write and remove again. Each ctest entry runs in a
// process of its own, in parallel, so the name carries the process and test.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <unistd.h>

namespace x9tr::test {

class TempFile {
public:
    explicit TempFile(std::string_view suffix)
    {
        const auto* test = testing::UnitTest::GetInstance()->current_test_info();
        std::string name = "x9tr-" + std::to_string(::getpid()) + "-" + (test ? test->name() : "test") + "-" +
                           std::to_string(counter_++) + std::string(suffix);
        path_ = (std::filesystem::temp_directory_path() / name).string();
    }
    ~TempFile()
    {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& Path() const { return path_; }

    void Write(std::string_view text) const
    {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    void Write(std::span<const std::byte> bytes) const
    {
        Write(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }

private:
    static inline int counter_ = 0;
    std::string path_;
};

} // namespace x9tr::test
