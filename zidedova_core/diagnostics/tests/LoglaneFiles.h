#pragma once
// Reads log files the way the service would: varint length, then that many bytes, record after record.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace zidedova::test {

inline platform::Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return platform::Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The records of a log file; a broken frame fails the test.
inline std::vector<platform::Bytes> splitRecords(const platform::Bytes& file) {
    std::vector<platform::Bytes> out;
    size_t at = 0;
    while (at < file.size()) {
        uint64_t length = 0;
        int shift = 0;
        while (true) {
            if (at >= file.size() || shift > 28) {
                ADD_FAILURE() << "broken length at " << at;
                return out;
            }
            uint8_t b = file[at++];
            length |= uint64_t(b & 0x7F) << shift;
            shift += 7;
            if (!(b & 0x80)) break;
        }
        if (at + length > file.size()) {
            ADD_FAILURE() << "record past the end at " << at;
            return out;
        }
        out.emplace_back(file.begin() + long(at), file.begin() + long(at + length));
        at += length;
    }
    return out;
}

}  // namespace zidedova::test
