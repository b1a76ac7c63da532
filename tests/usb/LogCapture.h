#pragma once
// Captures the diagnostic log of one test into a file and hands back its text.

#include <string>

#include "app/DiagnosticLog.h"
#include "tests/TestSupport.h"

class CLogCapture
{
public:
    explicit CLogCapture(const std::string& name) : m_path(JoinPath(MakeTestFolder(name), "test.log"))
    {
        m_open = OpenLog(m_path.c_str()) == HR_OK;
    }
    ~CLogCapture()
    {
        if (m_open)
            CloseLog();
    }
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;

    // Closes the log and returns what was written (CR LF as on disk).
    std::string Text()
    {
        if (m_open)
        {
            CloseLog();
            m_open = false;
        }
        return ReadFileBytes(m_path);
    }

private:
    std::string m_path;
    bool m_open = false;
};

inline bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}
