// Shared pieces of the fuzz targets: a hosted platform per input whose
// problems (verifier findings, leaks, deadlocks) abort the process so the
// fuzzer keeps the input, a reader that turns the fuzzer's bytes into
// choices, and a scratch folder for inputs that the code under test reads
// from files.
//
// Every target defines LLVMFuzzerTestOneInput. The same sources build two
// ways: with clang and -fsanitize=fuzzer (ORVEX_FUZZ=ON) as libFuzzer
// programs, and in the ordinary build with CorpusMain.cpp, which runs each
// file of the seed corpus once (the ctest label "fuzz").
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <hosted/platform.h>

namespace orvex::fuzz {

// Prints what went wrong and aborts: the fuzzer records the input as a crash.
[[noreturn]] void Fail(const std::string& what);

#define FUZZ_CHECK(cond, what)                                                        \
    do {                                                                              \
        if (!(cond)) ::orvex::fuzz::Fail(std::string(#cond) + ": " + (what));         \
    } while (0)

// One input's platform: a fresh kernel, torn down (threads joined, leak and
// verifier checks run) when the session ends. Any problem aborts.
class Session {
public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

private:
    hosted::Platform platform_;
};

// The fuzzer's bytes read front to back; past the end every read gives 0 and
// Rest() an empty buffer, so any input decodes to some choice.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t U8();
    uint16_t U16();
    uint32_t U32();
    std::vector<uint8_t> Bytes(size_t n);  // up to n bytes
    std::vector<uint8_t> Rest();
    size_t Left() const { return size_ - pos_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A folder of this process for files the code under test reads; created at
// the first call, removed at exit.
const std::filesystem::path& ScratchDir();
// Writes bytes to ScratchDir()/name and returns the path.
std::filesystem::path WriteScratch(const std::string& name, const uint8_t* data, size_t size);

}  // namespace orvex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
