#pragma once
// A private temporary directory for one run of the program: made with mkdtemp
// (mode 0700) under $TMPDIR, else /var/tmp, and removed with everything in it
// when the object is destroyed. The writer decompresses images into it, so
// no other user can plant a link at the fixed file name it uses; /var/tmp is
// the fallback because it is disk-backed (images decompress to several GiB).
//
// Threads: create and destroy on one thread; Path() may be read from any
// thread while the object lives. Owned by whoever created it.

#include <memory>
#include <string>

namespace platform {

class TempDirectory {
  public:
    // None when no directory could be made (the reason goes to stderr).
    static std::unique_ptr<TempDirectory> Create();

    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    // The directory, ending in "/".
    const std::string& Path() const { return m_path; }

    // Removes the directory and its contents now; later calls do nothing.
    void Remove();

  private:
    explicit TempDirectory(std::string path) : m_path(std::move(path)) {}
    std::string m_path;
};

// Where Create() makes its directory: $TMPDIR when set and not empty, else
// /var/tmp.
std::string TempDirectoryBase();

}  // namespace platform
