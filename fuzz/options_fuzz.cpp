// The whole front end in-process on an argument vector built from the
// input: option names (long, long=value, short, short with the value
// attached, clusters), values of every kind the options take and some that
// they do not, a few raw bytes, the data on standard input ("-", taken from
// the input or a fixed table) and files in a directory of the harness's own
// (a table, a labels file, a sample sheet, output targets).  The run happens
// in that directory, so an output named by a relative path lands there too.
// Checks: no exception leaves run(); the status is 0, 1, 2, 3 (results
// written, some rows without one) or 130 (only when an interruption was
// asked for); any other status writes a "kestrum: " message; a result
// written to standard output (status 0 or 3) is a table whose lines all
// have the header's number of cells; no temporary file is left behind.
//
// Each input starts from the same process-wide generator state.  Counts
// that would make a run long (2147483647 iterations, 1024 chains)
// come with an interruption: the run stops after its first iteration.  The
// arguments start with small sampler sizes, which later ones may replace.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "fuzz_input.h"
#include "kestrumr.h"
#include "random/stream.h"

using kestrum::fuzz::Input;

namespace {

const char* const kTable =
    "id\ta1\ta2\tb1\tb2\tc1\tc2\n"
    "r1\t1\t2\t1.5\t3\t5\t4\n"
    "r2\t2\t2.5\t2.2\t4\t4.1\t4.4\n"
    "r3\t0\t1\t0.7\t1\t3\t2\n";
const char* const kLabels = "c\nc\nt\nt\nu\nu\n";
const char* const kSheet = "sample\tgroup\na1\tc\na2\tc\nb1\tt\nb2\tt\nc1\tu\nc2\tu\n";

struct Sandbox {
    std::string dir;
    int home = -1;  // the directory the harness was started in
    Sandbox() {
        char name[] = "/tmp/kestrum-fuzz-options-XXXXXX";
        FUZZ_CHECK(mkdtemp(name) != nullptr);
        dir = name;
        home = open(".", O_RDONLY | O_DIRECTORY);
        FUZZ_CHECK(home >= 0);
        restore();
    }
    void write(const char* file, const char* text) const {
        std::ofstream(dir + "/" + file, std::ios::binary | std::ios::trunc) << text;
    }
    // The fixed files as they were (a run may have written over them), and
    // nothing else.
    void restore() const {
        if (DIR* d = opendir(dir.c_str())) {
            while (const dirent* e = readdir(d)) {
                const std::string n = e->d_name;
                if (n == "." || n == "..") continue;
                const std::string path = dir + "/" + n;
                if (std::remove(path.c_str()) != 0) rmdir(path.c_str());
            }
            closedir(d);
        }
        write("in.tsv", kTable);
        write("labels.txt", kLabels);
        write("sheet.tsv", kSheet);
    }
    // Whether a temporary output file ("NAME.tmpPID_N") is left.
    bool temporary_left() const {
        bool found = false;
        if (DIR* d = opendir(dir.c_str())) {
            while (const dirent* e = readdir(d))
                if (std::string(e->d_name).find(".tmp") != std::string::npos) found = true;
            closedir(d);
        }
        return found;
    }
    ~Sandbox() {
        restore();
        for (const char* f : {"in.tsv", "labels.txt", "sheet.tsv"}) std::remove((dir + "/" + f).c_str());
        rmdir(dir.c_str());
    }
};

const char* const kLong[] = {
    "help", "version", "groups", "labels", "labels-file", "header-labels", "burn", "keep", "seed",
    "threads", "pooled", "hshape", "hrate", "mvar", "effvar", "delimiter", "header", "no-header",
    "row-names", "no-row-names", "na", "output", "digits", "chains", "scale", "sort", "columns",
    "diagnostics", "bogus"};
const char kShort[] = "hVglbkstpdocx";

// Values, the last ones long-running as counts.
const char* const kValues[] = {
    "0", "1", "2", "3", "5", "-1", "-0", "2,2,2", "3,3", "2,4", "2,2,2,", "4,2", "1,5", "",
    "c,c,t,t,u,u", "a,a,b,b,a,b", "c,t,c,t,u,u", "x\ty,x\ty,z,z,w,w", "a\nb,a\nb,c,c,d,d", ",,",
    "tab", "comma", ",", "\t", "omit", "fail", "auto", "none", "p_mean", "p_joint", "full",
    "basic", "10000,1", "1,2", "1,2,3", "0.5", "1e-300", "1e300", "1e-160", "1e160", "nan", "inf",
    "-inf", "0x10", "17", "18", "9223372036854775808", "-9223372036854775809", "2147483648",
    "out.tsv", "diag.tsv", "in.tsv", "labels.txt", "sheet.tsv", "absent.tsv", ".",
    "2147483647", "1024", "256"};
constexpr int kLongRunning = 3;  // the last values of kValues
constexpr int kValueCount = static_cast<int>(sizeof kValues / sizeof kValues[0]);

struct Args {
    std::vector<std::string> v;
    bool long_running = false;
};

std::string take_value(Input& in, Args& a) {
    const int32_t k = in.small(0, kValueCount);
    if (k == kValueCount) {  // up to three raw bytes, no path separator
        std::string raw;
        for (int32_t n = in.small(0, 3); n > 0; --n) {
            const char c = static_cast<char>(in.take<uint8_t>());
            raw += c == '/' ? '_' : c;
        }
        return raw;
    }
    if (k >= kValueCount - kLongRunning) a.long_running = true;
    return kValues[k];
}

std::string long_name(Input& in) {
    return std::string("--") + kLong[in.small(0, sizeof kLong / sizeof kLong[0] - 1)];
}
std::string short_name(Input& in) { return std::string("-") + kShort[in.small(0, sizeof kShort - 2)]; }

std::string take_token(Input& in, Args& a, const Sandbox& box) {
    switch (in.small(0, 9)) {
        case 0: return long_name(in);
        case 1: {
            const std::string name = long_name(in);
            return name + "=" + take_value(in, a);
        }
        case 2: return short_name(in);
        case 3: {
            const std::string name = short_name(in);
            return name + take_value(in, a);
        }
        case 4: return "-p" + short_name(in).substr(1);  // a cluster
        case 5: return "-";
        case 6: return "--";
        case 7: {
            static const char* const files[] = {"in.tsv", "out.tsv", "diag.tsv", "labels.txt",
                                                "sheet.tsv", "absent/x"};
            return box.dir + "/" + files[in.small(0, 5)];
        }
        default: return take_value(in, a);
    }
}

// Every line of a table written to standard output has the header's
// number of cells.
bool consistent_table(const std::string& out) {
    if (out.compare(0, 4, "row\t") != 0 || out.back() != '\n') return false;
    std::size_t cells = 0, line_cells = 1;
    bool first = true;
    for (char c : out) {
        if (c == '\t') ++line_cells;
        if (c != '\n') continue;
        if (first) cells = line_cells;
        if (line_cells != cells) return false;
        first = false;
        line_cells = 1;
    }
    return true;
}

}  // namespace

// The runs happen in the sandbox, and so would a crash report written with
// a relative path: libFuzzer's artifact paths are made absolute first (the
// directory the harness started in, when none is given).
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static std::vector<std::string> args;
    static std::vector<char*> pointers;
    char cwd[4096];
    FUZZ_CHECK(getcwd(cwd, sizeof cwd) != nullptr);
    bool given = false;
    for (int i = 0; i < *argc; ++i) {
        std::string arg = (*argv)[i];
        for (const char* flag : {"-artifact_prefix=", "-exact_artifact_path="}) {
            const std::size_t n = std::strlen(flag);
            if (arg.compare(0, n, flag) != 0) continue;
            given = true;
            if (arg.size() == n || arg[n] != '/') arg = flag + std::string(cwd) + "/" + arg.substr(n);
        }
        args.push_back(arg);
    }
    if (!given) args.insert(args.begin() + 1, "-artifact_prefix=" + std::string(cwd) + "/");
    for (auto& a : args) pointers.push_back(&a[0]);
    pointers.push_back(nullptr);
    *argc = static_cast<int>(args.size());
    *argv = pointers.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Sandbox box;
    Input in(data, size);
    Args a;
    a.v = {"kestrum", "--burn=2", "--keep=3", "--chains=2", "--threads=2"};
    for (int32_t n = in.small(0, 12); n > 0; --n) a.v.push_back(take_token(in, a, box));
    // Standard input: the rest of the input, or the fixed table.
    std::string text = kTable;
    if (in.small(0, 1) == 1) {
        text.clear();
        while (in.left() > 0) text += static_cast<char>(in.take<uint8_t>());
    }
    std::vector<const char*> argv;
    for (const auto& s : a.v) argv.push_back(s.c_str());
    argv.push_back(nullptr);

    std::istringstream stdin_text(text);
    std::streambuf* const cin_buf = std::cin.rdbuf(stdin_text.rdbuf());
    std::cin.clear();
    std::ostringstream out, err;
    // Every input starts from the same process-wide generator (the built-in
    // table, zbqlini_ not yet called), so that its run does not depend on
    // the inputs before it.
    static const kestrumr_zbql0001 record = zbql0001_;
    static const kestrum::random::ProcessState process = kestrum::random::process_state();
    zbql0001_ = record;
    kestrum::random::process_state() = process;
    kestrum::cli::request_interrupt(a.long_running);
    FUZZ_CHECK(chdir(box.dir.c_str()) == 0);
    int status = -1;
    try {
        status = kestrum::cli::run(static_cast<int>(a.v.size()), argv.data(), out, err);
    } catch (...) {
        FUZZ_CHECK(!"an exception left run()");
    }
    FUZZ_CHECK(fchdir(box.home) == 0);
    kestrum::cli::request_interrupt(false);
    std::cin.rdbuf(cin_buf);
    std::cin.clear();

    FUZZ_CHECK(status == 0 || status == 1 || status == 2 || status == 3 ||
               (status == 130 && a.long_running));
    if (status != 0) FUZZ_CHECK(err.str().find("kestrum: ") != std::string::npos);
    const std::string o = out.str();
    if ((status == 0 || status == 3) && !o.empty() && o.compare(0, 6, "Usage:") != 0 && o.compare(0, 8, "kestrum ") != 0)
        FUZZ_CHECK(consistent_table(o));
    FUZZ_CHECK(!box.temporary_left());
    box.restore();
    return 0;
}
