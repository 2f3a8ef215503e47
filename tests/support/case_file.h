// Tables of cases kept as data under tests/data: a case a line, "name|field|field...", lines
// that are blank or start with '#' left out. A field is positional, or "key=value" (a bare
// "key" is a flag), as each table says. Numbers are decimal or 0x hexadecimal, or the name of a
// register, value, request code, trace flag or reset kind ("TRACE_ERROR+TRACE_API" adds them).
#pragma once

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "configrom/crom.h"
#include "link/driver_link.h"
#include "link/registers.h"
#include "loric.h"
#include "support/golden.h"

namespace loric::test {

struct CaseRow {
    std::string name;
    std::vector<std::string> fields;

    // The value of "key=value" (a bare "key" gives ""), or `fallback` when the row has none.
    std::string Get(const std::string& key, const std::string& fallback = "") const {
        for (const std::string& f : fields)
            if (f == key || f.rfind(key + "=", 0) == 0)
                return f.size() > key.size() ? f.substr(key.size() + 1) : "";
        return fallback;
    }
    bool Has(const std::string& key) const { return Get(key, "\x01") != "\x01"; }
};
inline void PrintTo(const CaseRow& row, std::ostream* out) { *out << row.name; }

inline std::vector<CaseRow> CaseRows(const std::string& file) {
    std::istringstream lines(ReadFileBytes(GoldenPath(file)));
    std::vector<CaseRow> rows;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        CaseRow row;
        std::getline(fields, row.name, '|');
        for (std::string field; std::getline(fields, field, '|');) row.fields.push_back(field);
        if (!line.empty() && line.back() == '|') row.fields.emplace_back();
        rows.push_back(row);
    }
    return rows;
}

// `text` with \n, \r, \0, \\ and \xHH read as the characters they stand for.
inline std::string Unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'x') {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == '0' ? '\0' : c;
        }
    }
    return out;
}

// A number of a case file (see above); "" is 0.
inline uint32_t CaseNumber(const std::string& text) {
    // A name a register, value, request code, flag or command set of the library goes by.
    // clang-format off
#define LORIC_NAME(n) {#n, n}
    static const std::map<std::string, uint32_t> kNames = {
        LORIC_NAME(FLASH_PORT_CTRL), LORIC_NAME(FLASH_ERASE_CTRL),
        LORIC_NAME(FLASH_UPLOAD_CHECKSUM), LORIC_NAME(FLASH_UPLOAD_CTRL), LORIC_NAME(CSR_MODE_CTRL),
        LORIC_NAME(FLASH_READ_CTRL), LORIC_NAME(MODE_EDIT), LORIC_NAME(PROCESSOR_RESET),
        LORIC_NAME(ERASE_ALL), LORIC_NAME(FLASH_INTERNAL_DEVICE_ID), LORIC_NAME(IOCTL_ASYNC_READ),
        LORIC_NAME(IOCTL_ASYNC_WRITE), LORIC_NAME(IOCTL_UPLOAD_UPLOADER),
        LORIC_NAME(IOCTL_ERASE_SECTOR), LORIC_NAME(IOCTL_RESET),
        LORIC_NAME(IOCTL_SET_BYTE_PROGRAM_DELAY), LORIC_NAME(RESET_FLASH), LORIC_NAME(RESET_DEVICE),
        LORIC_NAME(RESET_BUS), LORIC_NAME(TRACE_ERROR), LORIC_NAME(TRACE_WARNING),
        LORIC_NAME(TRACE_API), LORIC_NAME(TRACE_API_VERBOSE), LORIC_NAME(TRACE_INTERNAL),
        LORIC_NAME(UPLOAD_METHOD_UPLOADER), LORIC_NAME(UPLOAD_METHOD_FLASH_PORT),
        LORIC_NAME(EXT_CONFIG_MAGIC), LORIC_NAME(kCommandSet555Bypass), LORIC_NAME(kCommandSet555),
        LORIC_NAME(kCommandSet5555NoReset), LORIC_NAME(kCommandSetAAAA),
        LORIC_NAME(kCommandSet5555), LORIC_NAME(kCommandSetAAABypass),
        LORIC_NAME(kCommandSetDriverOnly),
    };
#undef LORIC_NAME
    // clang-format on
    uint32_t sum = 0;
    std::istringstream terms(text);
    for (std::string term; std::getline(terms, term, '+');) {
        if (term.empty()) continue;
        const auto named = kNames.find(term);
        sum += named != kNames.end() ? named->second
                                     : static_cast<uint32_t>(std::stoul(term, nullptr, 0));
    }
    return sum;
}

// The numbers of a comma-separated list.
inline std::vector<uint32_t> CaseNumbers(const std::string& list) {
    std::vector<uint32_t> numbers;
    std::istringstream items(list);
    for (std::string item; std::getline(items, item, ',');) numbers.push_back(CaseNumber(item));
    return numbers;
}

}  // namespace loric::test
