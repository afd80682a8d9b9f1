// Read access to an opened INF through the platform's setup API: lines as
// lists of fields (strings already substituted from [Strings] and DIRIDs
// resolved by the setup API), section look-ups, and the list of failures
// found so far.
#pragma once

#include <windows.h>
// setupapi.h needs windows.h first.
#include <setupapi.h>

#include <string>
#include <vector>

namespace infcheck {

// One line of a section: Key is field 0 (empty when the line has no "key ="),
// Fields[0] is field 1, and so on.
struct InfLine {
    std::wstring Key;
    std::vector<std::wstring> Fields;

    // Field n counted from 1 as the INF documentation does; empty if absent.
    const std::wstring &Field(size_t n) const;
};

// Every failure is printed at once (to stderr, prefixed by the INF's name)
// and counted; the program's verdict is "no failures".
class Findings {
public:
    explicit Findings(std::wstring infName) : InfName(std::move(infName)) {}
    void Fail(const std::wstring &message);
    int Count() const { return Failures; }

private:
    std::wstring InfName;
    int Failures = 0;
};

class InfFile {
public:
    // Opens with INF_STYLE_WIN4. On a syntax error Handle() is invalid and
    // ErrorLine()/ErrorCode() say where and what.
    explicit InfFile(const std::wstring &path);
    ~InfFile();
    InfFile(const InfFile &) = delete;
    InfFile &operator=(const InfFile &) = delete;

    bool IsOpen() const { return Handle != INVALID_HANDLE_VALUE; }
    UINT ErrorLine() const { return OpenErrorLine; }
    DWORD ErrorCode() const { return OpenError; }
    HINF Raw() const { return Handle; }

    bool HasSection(const std::wstring &section) const;
    std::vector<std::wstring> SectionNames() const;
    std::vector<InfLine> Lines(const std::wstring &section) const;
    // The first line whose key is `key` (case-insensitive), if any.
    bool FindLine(const std::wstring &section, const std::wstring &key, InfLine &line) const;

private:
    HINF Handle = INVALID_HANDLE_VALUE;
    UINT OpenErrorLine = 0;
    DWORD OpenError = 0;
};

bool SameText(const std::wstring &a, const std::wstring &b);  // case-insensitive
bool StartsWithText(const std::wstring &text, const std::wstring &prefix);
std::string Utf8(const std::wstring &text);

}  // namespace infcheck
