#pragma once
// The diagnostic log's file: created or emptied on open; other processes may
// read it while it is open but none may write (Windows enforces the sharing;
// Linux has no mandatory sharing modes). Bytes are written as given.

#include <cstddef>
#include <memory>
#include <string>

class CLogFile
{
public:
    CLogFile();
    ~CLogFile();
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    bool Open(const std::string& path);
    // Creates the file only when no file of that name exists (atomically:
    // two processes never both get it), never opening, emptying or
    // appending to an existing one. False when it could not be created;
    // *exists is then true when the name is taken.
    bool CreateNew(const std::string& path, bool* exists);
    bool IsOpen() const;
    bool Write(const char* data, std::size_t length);
    // Pushes buffered bytes to the disk.
    bool Flush();
    void Close();

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};
