// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/GbkText.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>

namespace talvik {

namespace {

class Converter final {
public:
    explicit Converter(const char* to) : cd_(iconv_open(to, "UTF-8")) {
        if (cd_ == reinterpret_cast<iconv_t>(-1)) {
            throw std::runtime_error(std::string("no converter to ") + to);
        }
    }
    ~Converter() { iconv_close(cd_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts as much of [in, in + length) as it can, appending to `out`; `in` and `length` move
    // past what was converted. Returns 0 when all of it was, otherwise errno (EILSEQ or EINVAL).
    int Convert(const char*& in, std::size_t& length, std::string& out) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        while (length > 0) {
            char buffer[4096];
            char* outPointer = buffer;
            std::size_t outLeft = sizeof buffer;
            char* inPointer = const_cast<char*>(in);
            const std::size_t result = iconv(cd_, &inPointer, &length, &outPointer, &outLeft);
            const int error = errno;
            in = inPointer;
            out.append(buffer, outPointer);
            if (result != static_cast<std::size_t>(-1)) {
                continue;
            }
            if (error != E2BIG) {
                return error;
            }
        }
        return 0;
    }

private:
    iconv_t cd_;
};

}  // namespace

std::string Utf8ToGbk(std::string_view utf8, Unencodable unencodable) {
    Converter gbk("GBK");
    Converter gb18030("GB18030");
    Converter utf32("UTF-32BE");
    std::string out;
    out.reserve(utf8.size());
    const char* in = utf8.data();
    std::size_t left = utf8.size();
    while (gbk.Convert(in, left, out) != 0) {
        // Stopped at one character GBK lacks, or at a byte that is not valid UTF-8: the shortest
        // prefix that decodes whole is that character.
        std::size_t length = 1;
        std::string codePoint;
        for (; length <= 4 && length <= left; ++length) {
            const char* probe = in;
            std::size_t probeLeft = length;
            codePoint.clear();
            if (utf32.Convert(probe, probeLeft, codePoint) == 0) {
                break;
            }
        }
        if (length > 4 || length > left) {
            out += '?';
            ++in;
            --left;
            continue;
        }
        const char* probe = in;
        std::size_t probeLeft = length;
        if (gb18030.Convert(probe, probeLeft, out) != 0) {
            if (unencodable == Unencodable::HtmlReference) {
                unsigned long value = 0;
                for (const char byte : codePoint) {
                    value = value << 8 | static_cast<unsigned char>(byte);
                }
                out += "&#" + std::to_string(value) + ';';
            } else {
                out += '?';
            }
        }
        in += length;
        left -= length;
    }
    return out;
}

}  // namespace talvik
