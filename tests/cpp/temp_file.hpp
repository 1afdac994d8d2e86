#pragma once
// A file with given contents in the test's temporary directory, removed
// when the test is done with it.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>

#include <unistd.h>

namespace sorvan::testing_support {

class TempFile {
public:
    explicit TempFile(std::string_view contents)
        : path_(::testing::TempDir() + "sorvan_words_XXXXXX") {
        const int fd = ::mkstemp(path_.data());
        EXPECT_GE(fd, 0) << path_;
        EXPECT_EQ(::write(fd, contents.data(), contents.size()),
                  static_cast<ssize_t>(contents.size()));
        ::close(fd);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() { std::remove(path_.c_str()); }

    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
};

}  // namespace sorvan::testing_support
