#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include <unistd.h>

namespace orvex::fuzz {

void Fail(const std::string& what)
{
    std::fprintf(stderr, "fuzz target finding: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

namespace {

void InstallHandler()
{
    static const bool installed = [] {
        hosted::Platform::SetFailureHandler([](const std::string& problem) { Fail("platform: " + problem); });
        return true;
    }();
    (void)installed;
}

hosted::Options Quiet()
{
    InstallHandler();
    hosted::Options o;
    o.mainThreadName = "fuzz";
    return o;
}

}  // namespace

Session::Session() : platform_(Quiet()) {}

Session::~Session()
{
    // Finish hands every problem to the handler above, which aborts.
    platform_.Finish();
}

uint8_t Input::U8() { return pos_ < size_ ? data_[pos_++] : 0; }

uint16_t Input::U16()
{
    const uint16_t lo = U8();
    return static_cast<uint16_t>(lo | U8() << 8);
}

uint32_t Input::U32()
{
    const uint32_t lo = U16();
    return lo | static_cast<uint32_t>(U16()) << 16;
}

std::vector<uint8_t> Input::Bytes(size_t n)
{
    const size_t take = n < Left() ? n : Left();
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + take);
    pos_ += take;
    return out;
}

std::vector<uint8_t> Input::Rest() { return Bytes(Left()); }

const std::filesystem::path& ScratchDir()
{
    static const std::filesystem::path dir = [] {
        auto d = std::filesystem::temp_directory_path() / ("orvex-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(ScratchDir(), ec);
        });
        return d;
    }();
    return dir;
}

std::filesystem::path WriteScratch(const std::string& name, const uint8_t* data, size_t size)
{
    const auto path = ScratchDir() / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) Fail("cannot write " + path.string());
    return path;
}

}  // namespace orvex::fuzz
