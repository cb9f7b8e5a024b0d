#include "numbers.hpp"

#include <charconv>
#include <cstdlib>
#include <string>
#include <system_error>

namespace gm {

namespace {

inline bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

OwnedArray parse_numbers(const Text& text) {
    const char* const begin = text.data;
    const char* const end = text.data + text.size;
    // Count the tokens, then read them into a result of the right size.
    uint64_t count = 0;
    for (const char* p = begin; p < end;) {
        while (p < end && is_space(*p)) ++p;
        if (p == end) break;
        ++count;
        while (p < end && !is_space(*p)) ++p;
    }
    OwnedArray result(Dtype::F64, {count + 1});
    double* out = result.f64();
    out[0] = -1.0;
    uint64_t n = 0;
    for (const char* p = begin; p < end;) {
        while (p < end && is_space(*p)) ++p;
        if (p == end) break;
        const char* token = p;
        while (p < end && !is_space(*p)) ++p;
        // from_chars takes no leading '+', and no hexadecimal form is a
        // record's number.
        const char* first = token;
        if (*first == '+' && first + 1 < p && first[1] != '-' && first[1] != '+') ++first;
        double value = 0.0;
        const auto [stop, error] = std::from_chars(first, p, value, std::chars_format::general);
        // Out of range is still a number: strtod's infinity or zero.
        if (stop != p || (error != std::errc() && error != std::errc::result_out_of_range)) {
            OwnedArray failed(Dtype::F64, {1});
            failed.f64()[0] = static_cast<double>(token - begin);
            return failed;
        }
        if (error == std::errc::result_out_of_range) {
            value = std::strtod(std::string(first, p).c_str(), nullptr);
        }
        out[++n] = value;
    }
    return result;
}

}  // namespace gm
