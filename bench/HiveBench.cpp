// What reading the hive file costs beside reading its bytes: parsing a file of
// many keys, and of one key with many values, against a plain read of the same
// file from the page cache; writing the text back; and asking a registry on an
// unchanged file again (the parsed hive is reused).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/support/RatioReporter.h"
#include "service/settings/hivefile/HiveFileRegistry.h"
#include "service/settings/hivefile/HiveText.h"

namespace {

using namespace settings;

enum Shape : int64_t { kManyKeys = 0, kManyValues = 1 };
constexpr int64_t kCount = 64000;

// The text of a hive of `count` keys with two values each, or of one key
// with `count` values.
std::string MakeText(int64_t shape, int64_t count) {
    std::string text = std::string(hive::kHeader) + "\n\n";
    if (shape == kManyValues) text += "[HKEY_CURRENT_USER\\Software\\ZELT2\\Many]\n";
    for (int64_t i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        if (shape == kManyKeys) {
            text += "[HKEY_CURRENT_USER\\Software\\ZELT2\\Key" + n + "]\n\"DID\"=\"ABC-" + n +
                    "\"\n\"Mode\"=dword:00000002\n\n";
        } else {
            text += "\"Value" + n + "\"=\"text " + n + "\"\n";
        }
    }
    return text;
}

// A folder with the hive file of each shape, for the lifetime of the program.
class CFiles {
public:
    CFiles() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/hivebench-XXXXXX";
        if (!::mkdtemp(pattern.data())) std::abort();
        m_strRoot = pattern;
        for (int shape = 0; shape < 2; ++shape) {
            m_strDir[shape] = m_strRoot + "/" + std::to_string(shape);
            m_strText[shape] = MakeText(shape, kCount);
            std::system(("mkdir -p " + m_strDir[shape]).c_str());
            FILE* f = std::fopen((m_strDir[shape] + "/" + kHiveFileName).c_str(), "wb");
            if (!f || std::fwrite(m_strText[shape].data(), 1, m_strText[shape].size(), f) != m_strText[shape].size())
                std::abort();
            std::fclose(f);
        }
    }
    ~CFiles() { std::system(("rm -rf " + m_strRoot).c_str()); }
    const std::string& Dir(int64_t shape) const { return m_strDir[shape]; }
    const std::string& Text(int64_t shape) const { return m_strText[shape]; }

private:
    std::string m_strRoot, m_strDir[2], m_strText[2];
};

CFiles& Files() {
    static CFiles files;
    return files;
}

void BM_ReadFile(benchmark::State& state) {
    const std::string path = Files().Dir(state.range(0)) + "/" + kHiveFileName;
    std::string bytes;
    for (auto _ : state) {
        bytes.clear();
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(n));
        ::close(fd);
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_Parse(benchmark::State& state) {
    const std::string& text = Files().Text(state.range(0));
    for (auto _ : state) {
        hive::Hive hive;
        benchmark::DoNotOptimize(hive::ParseHive(text, hive).clean);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_Format(benchmark::State& state) {
    hive::Hive hive;
    hive::ParseHive(Files().Text(state.range(0)), hive);
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = hive::FormatHive(hive);
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// Counting the values of a key again on an unchanged file.
void BM_AskUnchanged(benchmark::State& state) {
    CHiveFileRegistry reg(Files().Dir(state.range(0)));
    HREGKEY key = nullptr;
    const std::u16string path = state.range(0) == kManyKeys ? u"Software\\ZELT2\\Key7" : u"Software\\ZELT2\\Many";
    if (reg.OpenKey(kRegCurrentUser, path, kKeyQueryValue, &key) != kRegOk) std::abort();
    uint32_t count = 0;
    for (auto _ : state) benchmark::DoNotOptimize(reg.QueryValueCount(key, &count));
    reg.CloseKey(key);
}

}  // namespace

BENCHMARK(BM_ReadFile)->Arg(kManyKeys)->Arg(kManyValues)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Parse)->Arg(kManyKeys)->Arg(kManyValues)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Format)->Arg(kManyKeys)->Arg(kManyValues)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AskUnchanged)->Arg(kManyKeys)->Arg(kManyValues)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    using benchsupport::AddRatio;
    AddRatio("parse 64,000 keys / read the same file", "BM_Parse/0", "BM_ReadFile/0", 10.0);
    AddRatio("parse 64,000 values in one key / read the same file", "BM_Parse/1", "BM_ReadFile/1", 10.0);
    AddRatio("format 64,000 keys / read the same file", "BM_Format/0", "BM_ReadFile/0");
    AddRatio("ask an unchanged file of 64,000 keys again / read it", "BM_AskUnchanged/0", "BM_ReadFile/0");
    return benchsupport::RunWithRatios(argc, argv);
}
