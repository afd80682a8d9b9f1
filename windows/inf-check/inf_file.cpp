#include "inf_file.h"

#include <cstdio>

namespace infcheck {

namespace {

bool ReadField(INFCONTEXT &context, DWORD index, std::wstring &out) {
    DWORD needed = 0;
    if (!SetupGetStringFieldW(&context, index, nullptr, 0, &needed) || needed == 0) return false;
    std::wstring buffer(needed, L'\0');
    if (!SetupGetStringFieldW(&context, index, &buffer[0], needed, &needed)) return false;
    buffer.resize(needed > 0 ? needed - 1 : 0);
    out = buffer;
    return true;
}

InfLine ReadLine(INFCONTEXT &context) {
    InfLine line;
    ReadField(context, 0, line.Key);
    const DWORD count = SetupGetFieldCount(&context);
    for (DWORD i = 1; i <= count; i++) {
        std::wstring field;
        ReadField(context, i, field);
        line.Fields.push_back(field);
    }
    return line;
}

}  // namespace

const std::wstring &InfLine::Field(size_t n) const {
    static const std::wstring empty;
    return n >= 1 && n <= Fields.size() ? Fields[n - 1] : empty;
}

void Findings::Fail(const std::wstring &message) {
    Failures++;
    std::fprintf(stderr, "%s: %s\n", Utf8(InfName).c_str(), Utf8(message).c_str());
}

InfFile::InfFile(const std::wstring &path) {
    Handle = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, &OpenErrorLine);
    if (Handle == INVALID_HANDLE_VALUE) OpenError = GetLastError();
}

InfFile::~InfFile() {
    if (IsOpen()) SetupCloseInfFile(Handle);
}

bool InfFile::HasSection(const std::wstring &section) const {
    return SetupGetLineCountW(Handle, section.c_str()) >= 0;
}

std::vector<std::wstring> InfFile::SectionNames() const {
    std::vector<std::wstring> names;
    for (UINT index = 0;; index++) {
        UINT needed = 0;
        if (!SetupEnumInfSectionsW(Handle, index, nullptr, 0, &needed) || needed == 0) break;
        std::wstring name(needed, L'\0');
        if (!SetupEnumInfSectionsW(Handle, index, &name[0], needed, &needed)) break;
        name.resize(needed - 1);
        names.push_back(name);
    }
    return names;
}

std::vector<InfLine> InfFile::Lines(const std::wstring &section) const {
    std::vector<InfLine> lines;
    INFCONTEXT context;
    if (!SetupFindFirstLineW(Handle, section.c_str(), nullptr, &context)) return lines;
    do {
        lines.push_back(ReadLine(context));
    } while (SetupFindNextLine(&context, &context));
    return lines;
}

bool InfFile::FindLine(const std::wstring &section, const std::wstring &key, InfLine &line) const {
    INFCONTEXT context;
    if (!SetupFindFirstLineW(Handle, section.c_str(), key.c_str(), &context)) return false;
    line = ReadLine(context);
    return true;
}

bool SameText(const std::wstring &a, const std::wstring &b) {
    return CompareStringOrdinal(a.c_str(), (int)a.size(), b.c_str(), (int)b.size(), TRUE) ==
           CSTR_EQUAL;
}

bool StartsWithText(const std::wstring &text, const std::wstring &prefix) {
    return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

std::string Utf8(const std::wstring &text) {
    if (text.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], size, nullptr,
                        nullptr);
    return out;
}

}  // namespace infcheck
