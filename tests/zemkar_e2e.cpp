// Runs the built program on files in a temporary directory.
#include "constants.hpp"
#include "hextext.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

// The command that runs the program; a test argument may give another: a
// program built elsewhere, such as build-i686/zemkar, "wine
// build-windows/zemkar.exe" with --windows, or "qemu-aarch64 -L
// /usr/aarch64-linux-gnu build-aarch64/zemkar" with --emulated. --large adds
// the inputs past 4 GiB.
std::string program = "'" ZEMKAR_PROGRAM "'";
bool ownProgram = true, windowsProgram = false, emulatedProgram = false, largeInputs = false;
// A build whose program writes a coverage profile as it ends.
#ifdef ZEMKAR_COVERAGE
constexpr bool coverageBuild = true;
#else
constexpr bool coverageBuild = false;
#endif
// Whether the address space a run of this build's program takes was measured (g++'s
// program, linked dynamically, on x86-64): clang's loads the C++ runtime library too, a
// static one loads no library, a checked one reserves more.
#ifdef ZEMKAR_ADDRESS_SPACE_MEASURED
constexpr bool addressSpaceMeasured = true;
#else
constexpr bool addressSpaceMeasured = false;
#endif
// clang's build of the program loads the C++ runtime library too: more instructions to start.
#ifdef __clang__
constexpr bool clangBuild = true;
#else
constexpr bool clangBuild = false;
#endif
fs::path dir;

// Why a case cannot hold where the program runs, or nothing where it can.
// Windows has no /dev/stdin to read a pipe through, nor a full device to
// write to; under Wine a process
// limit falls on Wine itself, and strace and valgrind would watch Wine. Under
// an emulator, a memory limit leaves it no room to start, and valgrind would
// count the emulator's instructions.
std::string leftOut(const std::string& command)
{
    const auto has = [&](const char* part) { return command.find(part) != command.npos; };
    if (windowsProgram && (has("|") || has("ulimit") || has("prlimit") || has("strace ") || has("valgrind ") || has("<&-") || has("> /dev/full")))
        return "a Linux case, under Wine";
    if (emulatedProgram && (has("ulimit -v") || has("prlimit --as") || has("valgrind ")))
        return "the emulator's own limit or count, not the program's";
    // The address space this build's program takes was measured: another
    // build's, or a checked build's, takes another.
    if (has("prlimit --as") && (!ownProgram || !addressSpaceMeasured))
        return "the address space of another build";
    if (coverageBuild && has("prlimit --fsize"))
        return "the file-size limit would stop the coverage profile too";
    return "";
}

// Whether to run the case; a case left out is named, with the reason.
bool runs(const std::string& command)
{
    const std::string why = leftOut(command);
    if (!why.empty())
        std::printf("left out: %s (%s)\n", command.c_str(), why.c_str());
    return why.empty();
}

std::pair<int, std::string> run(const std::string& prefix, const std::string& args);
void put(const fs::path& name, const std::string& text);

// The name under which the program under test makes a system call, read off a
// trace of one conversion: a 32-bit program with 64-bit file offsets calls
// ftruncate64 and _llseek where a 64-bit one calls ftruncate and lseek. (Under qemu the trace is the
// emulator's, on the host's calls.)
std::string callName(const std::string& call)
{
    static const std::string trace = [] {
        put("traced.hex", twoImages({}, {}));
        run("strace -qq -o traced.log ", "-h traced.hex traced.bin");
        std::ifstream log(dir / "traced.log");
        return "\n" + std::string(std::istreambuf_iterator<char>(log), {});
    }();
    for (const std::string& name : {call + "64", "_l" + call, call})
        if (trace.find("\n" + name + "(") != std::string::npos) // one call a line, its name first
            return name;
    return call;
}

// A prefix that runs the program with the system call made to fail, each time
// or only its n-th time, where it is made on the file `name` (by the name as
// given to open it, by the whole path once it is open); and a second call
// too, where one is given.
std::string failing(const std::string& call, const char* error, const std::string& name, int nth = 0,
                    const std::string& thenCall = "", const char* thenError = "", int thenNth = 0)
{
    if (windowsProgram)
        return "strace "; // left out: no Windows program can be traced
    std::string when = nth ? ":when=" + std::to_string(nth) : "";
    if (!thenCall.empty())
        when += " -e inject=" + callName(thenCall) + ":error=" + thenError + ":when=" + std::to_string(thenNth);
#ifdef ZEMKAR_SANITIZED
    const std::string environment = "ASAN_OPTIONS=detect_leaks=0 "; // the leak check cannot run traced
#else
    const std::string environment;
#endif
    return environment + "strace --quiet=all -o /dev/null -e inject=" + callName(call) + ":error=" + error + when + " -P " + name + " -P '" +
           (dir / name).string() + "' ";
}

std::pair<int, std::string> runOnce(const std::string& command)
{
    std::FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    for (int c; (c = std::fgetc(pipe)) != EOF;)
        output += static_cast<char>(c);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), output};
}

// Runs "<prefix> program <args>" from the temporary directory: exit status and all it printed.
// About one start in 450 under Wine fails in Wine itself, whichever build it runs: a page
// fault inside Wine that Wine reports, or exit status 1 with nothing printed, which the
// program never gives. Such a run is made again, at most twice.
// Under Wine or an emulator a run takes a second or so: each is named as it
// starts, so that a long test shows its progress.
std::pair<int, std::string> run(const std::string& prefix, const std::string& args)
{
    if (windowsProgram || emulatedProgram) {
        std::printf("running: %s%s\n", prefix.c_str(), args.c_str());
        std::fflush(stdout);
    }
    const auto command = "cd '" + dir.string() + "' && " + prefix + program + " " + args + " 2>&1";
    for (int attempt = 0;; ++attempt) {
        auto result = runOnce(command);
        const bool wineFault = result.second.starts_with("wine: ") || result == std::pair(1, std::string());
        if (!windowsProgram || !wineFault || attempt == 2)
            return result;
    }
}

void put(const fs::path& name, const std::string& text) { std::ofstream(dir / name, std::ios::binary) << text; }

Bytes get(const fs::path& name)
{
    std::ifstream in(dir / name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The header written out field by field: zero, checksum, signature, length.
Bytes headerFor(const Bytes& image)
{
    unsigned sum = 0;
    for (auto byte : image)
        sum += byte;
    const auto n = image.size();
    return {0, 0, std::uint8_t(sum), std::uint8_t(sum >> 8), 0x55, 0xAA,
            std::uint8_t(n), std::uint8_t(n >> 8), std::uint8_t(n >> 16), std::uint8_t(n >> 24)};
}

Bytes headed(Bytes header, const Bytes& image)
{
    header.insert(header.end(), image.begin(), image.end());
    return header;
}

const Bytes first = pattern(6000, 3), second = pattern(90000, 4), image = expectedImage(first, second);
const std::string text = twoImages(first, second);

// The largest input: an image of 0x200000 bytes, the image buffer full to its last byte.
const Bytes largestFirst = pattern(0x7FF0, 5), largestSecond = pattern(0x1F8000, 9);
const std::string largestText = twoImages(largestFirst, largestSecond);
const Bytes largestImage = expectedImage(largestFirst, largestSecond);

TEST(Zemkar, HeadedImageCarriesChecksumSignatureAndLength)
{
    put("in.hex", text);
    fs::remove(dir / "out.bin");
    EXPECT_EQ(run("umask 022; ", "-h in.hex out.bin"), std::pair(0, std::string()));
    if (!windowsProgram) { // a new file is made readable and writable, less the umask
        EXPECT_EQ(fs::status(dir / "out.bin").permissions(), fs::perms(0644));
    }
    const Bytes file = get("out.bin");
    ASSERT_EQ(file.size(), 10 + image.size());
    EXPECT_EQ(file[0] | file[1], 0) << "zero";
    EXPECT_EQ(file[2] | file[3] << 8, headerFor(image)[2] | headerFor(image)[3] << 8) << "checksum";
    EXPECT_EQ(file[4] << 8 | file[5], 0x55AA) << "signature";
    EXPECT_EQ(file[6] | file[7] << 8 | file[8] << 16 | file[9] << 24, 0x8000 + 90000) << "length";
    EXPECT_TRUE(slice(file, 10, file.size() - 10) == image);
}

TEST(Zemkar, WritesTheImageThatInputAndOptionAskFor)
{
    put("in.hex", text);
    put("r.hex", text);
    put("ctrlz.hex", "\x1A\r\n" + text);
    put("empty.hex", twoImages({}, {}));
    put("largest.hex", largestText);
    put("out.bin", ":G" + std::string(300000, 'x')); // no HEX text: replaced by the first case
    const Bytes file = headed(headerFor(image), image);
    std::ifstream example(ZEMKAR_EXAMPLES "/two-images.bin", std::ios::binary);
    const struct { std::string prefix, args; Bytes expected; } cases[] = {
        {"", "-r in.hex out.bin", image},
        {"", "--raw in.hex out.bin", image},
        {"", "--headed in.hex out.bin", file},
        {"", "/r in.hex out.bin", image},
        {"", "xrx in.hex out.bin", image},
        {"", "' r' in.hex out.bin", image},
        {"", "-x in.hex out.bin", file},
        {"", "-R in.hex out.bin", file},
        {"", "r in.hex out.bin", file},
        {"", "'' in.hex out.bin", file},
        {"", "'' r.hex out.bin", file}, // no character behind the end of the option is read
        {"", "-b empty.hex out.bin", headed({0, 0, 0, 0x80, 0x55, 0xAA, 0, 0x80, 0, 0}, Bytes(0x8000, 0xFF))},
        {"", "-r largest.hex out.bin", largestImage},
        {"", "-r in.hex out.bin <&-", image}, // standard input closed: the output opens as descriptor 0
        {"", "-r ctrlz.hex out.bin", image},
        {"cat in.hex | ", "-r /dev/stdin out.bin", image},
        {"(head -c 999 in.hex; sleep 0.2; tail -c +1000 in.hex) | ", "-r /dev/stdin out.bin", image},
        {"", "-r in.hex /dev/stdout | cat > out.bin", image}, // a pipe has no length to set
        // The input is closed before the output is made: four descriptors are enough.
        {"exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; prlimit --nofile=4 ", "-r in.hex out.bin", image},
        // The address space the run takes: 9.14 MB measured, 9.35 MB allowed.
        {"prlimit --as=9350000 ", "-r in.hex out.bin", image},
        {"", "-h " ZEMKAR_EXAMPLES "/two-images.hex out.bin", Bytes(std::istreambuf_iterator<char>(example), {})},
    };
    for (const auto& c : cases) {
        if (!runs(c.prefix + c.args))
            continue;
        EXPECT_EQ(run(c.prefix, c.args), std::pair(0, std::string())) << c.prefix << c.args;
        EXPECT_TRUE(get("out.bin") == c.expected) << c.prefix << c.args;
    }
}

// The rest of a pipe behind the end marker is read, so that the writer at its
// other end is not cut off: it ends with status 0. The image ends at the
// second file's start record, with no record behind it.
TEST(Zemkar, ReadsAPipeToItsEnd)
{
    put("in.hex", text.substr(0, text.size() - hexRecord(1, 0, {}).size()));
    put("tail.txt", std::string(1'000'000, 'x'));
    const std::string writer = "(cat in.hex tail.txt; echo $? > writer.status) | ";
    if (!runs(writer + "-r /dev/stdin out.bin"))
        return;
    EXPECT_EQ(run(writer, "-r /dev/stdin out.bin"), std::pair(0, std::string()));
    EXPECT_TRUE(get("out.bin") == image);
    EXPECT_TRUE(get("writer.status") == Bytes({'0', '\n'}));
}

// A write that a signal cuts short is taken up where it stopped: zemkar,
// blocked writing into a full pipe, is stopped and continued, which ends that
// write after the pipe's 64 KiB.
TEST(Zemkar, WritesOnAfterAPartialWrite)
{
    put("largest.hex", largestText);
    const std::string interrupted =
        "& echo $! > pid; wait; } | { sleep 0.5; kill -STOP $(cat pid); sleep 0.1; kill -CONT $(cat pid); cat > out.bin; }";
    const std::string args = "-r largest.hex /dev/stdout " + interrupted;
    if (!runs("{ " + args))
        return;
    EXPECT_EQ(run("{ ", args), std::pair(0, std::string()));
    EXPECT_TRUE(get("out.bin") == largestImage);
}

// Each failure: its message, exit status 1, and no output file left. Where the
// fault comes before the output is opened, an existing file stays untouched;
// where the write fails, an existing file is removed too.
TEST(Zemkar, FailuresSayWhyAndLeaveNoOutputBehind)
{
    put("in.hex", text);
    put("bad.hex", hexFile(first));
    put("late.hex", twoImages({}, pattern(0x1F8001))); // its fault lies 5.8 MB in
    // A first file across 64 KiB, without its type 01 record: its own "000004"
    // record, on line 66, is read as the marker, and has left the window when
    // the image ends.
    std::string across = hexFile(pattern(0x800), 0x0800FC00);
    across.resize(across.size() - hexRecord(1, 0, {}).size());
    const auto marker = across.find(":020000040801");
    put("across.hex", across.substr(0, marker + 17) + std::string(40000, '\n') + across.substr(marker + 17) + hexFile(second, 0x08010400));
    put("srec.txt", std::string(40000, '\n') + "S1130000285F245F2212226A000424290008237C2A\n");
    put("digit.hex", ":020000040800F2\r\n:0G000000\r\n");
    // A record of 255 bytes with a wrong checksum that ends exactly where the
    // first read does: nothing more needs reading to refuse it.
    std::string edge = hexRecord(4, 0, {8, 0});
    unsigned next = 0;
    for (; edge.size() + 45 + longestRecord <= windowSize; next += 16)
        edge += hexRecord(0, next, pattern(16, next));
    edge += std::string(windowSize - longestRecord - edge.size(), ' ') + hexRecord(0, next, pattern(255)).substr(0, longestRecord - 2) + "00";
    put("edge.hex", edge);
    // The full device under a name of the test's own: a program that took it
    // for a file of its own to remove would remove the link, not the device.
    fs::remove(dir / "full.bin");
    fs::create_symlink("/dev/full", dir / "full.bin");
    // Bytes left out are checked all the same: a data digit changed, the checksum wrong.
    std::string changed = hexRecord(0, 0, pattern(16));
    changed[9] = changed[9] == '0' ? '1' : '0';
    put("sum.hex", hexRecord(4, 0, {8, 0}) + changed + hexFile(second, 0x08008000));
    const std::string edgeLine = std::to_string(std::count(edge.begin(), edge.end(), '\n') + 1);
    fs::create_directory(dir / "folder");
    const std::string usage = "zemkar [-opt] [input_file_name] [output_file_name]";
    struct Case { std::string prefix, args, message; bool beforeOutput; };
    std::vector<Case> cases = {
        {"", "", usage, true},
        {"", "-h in.hex", usage, true},
        {"", "-h in.hex out.bin extra", usage, true},
        {"", "--help in.hex", usage, true},
        {"", "--strict in.hex out.bin", usage, true},
        {"", "--strict=on -h in.hex out.bin", usage, true},
        {"", "--leave-out=0x1-0x2 in.hex out.bin", usage, true},
        {"", "--leave-out 0x3000000x -h in.hex out.bin", "Bad range for --leave-out: 0x3000000x (give FIRST-LAST, e.g. 0x10001000-0x10001FFF)", true},
        {"", "--leave-out=0x20-0x1F -h in.hex out.bin", "Bad range for --leave-out: 0x20-0x1F (give FIRST-LAST, e.g. 0x10001000-0x10001FFF)", true},
        {"", "--strict --leave-out 0-0x100000000 -h in.hex out.bin",
         "Bad range for --leave-out: 0-0x100000000 (give FIRST-LAST, e.g. 0x10001000-0x10001FFF)", true},
        {"", "--leave-out -h in.hex out.bin", "Bad range for --leave-out: -h (give FIRST-LAST, e.g. 0x10001000-0x10001FFF)", true},
        {"", "--leave-out 0x08000000-0x08000003 -h sum.hex out.bin", "Bad checksum at line 2", true},
        {"", "--rw in.hex out.bin", "Unknown option --rw: give -r or --raw for the raw image, -h or --headed for the headed one", true},
        {"", "--RAW in.hex out.bin", "Unknown option --RAW: give -r or --raw for the raw image, -h or --headed for the headed one", true},
        {"", "-- in.hex out.bin", "Unknown option --: give -r or --raw for the raw image, -h or --headed for the headed one", true},
        {"", "-h missing.hex out.bin", "Can not open missing.hex", true},
        {"", "-h folder out.bin", "Can not open folder", true},
        // Reading it fails: Linux says EIO where a read at offset 0 finds no page; Wine, EINVAL.
        {"", "-h /proc/self/mem out.bin",
         std::string("Can not read /proc/self/mem: ") + (windowsProgram ? "Invalid argument" : "Input/output error"), true},
        {"rm -f fifo && mkfifo fifo && (head -c 5000 in.hex > fifo &) && ", "-h fifo out.bin",
         "Record cut short at line 112", true}, // its writer stops within a record
        // The FIFO holds the text, its writer still there; a second read would fail.
        {"rm -f fifo && mkfifo fifo && exec 3<>fifo && cat edge.hex > fifo && " + failing("read", "EIO", "fifo", 2), "-h fifo out.bin",
         "Bad checksum at line " + edgeLine, true},
        {"", "-h bad.hex out.bin", "No 000004 record to end the first image: give two HEX files joined end to end", true},
        {"", "-h late.hex out.bin", "Image exceeds 0x200000 bytes at line 129061 (line 129058 of the second file; a record at 0x08200000; the image starts at 0x08008000)", true},
        {"cat late.hex | ", "-h /dev/stdin out.bin", "Image exceeds 0x200000 bytes at line 129061 (line 129058 of the second file; a record at 0x08200000; the image starts at 0x08008000)", true},
        {"", "-h across.hex out.bin", "First image goes on behind the 000004 record at line 66", true},
        {"cat across.hex | ", "-h /dev/stdin out.bin", "First image goes on behind the 000004 record at line 66", true},
        {"cat srec.txt | ", "-h /dev/stdin out.bin", "The input holds S-records, not Intel HEX: srec_cat FILE -o OUT -intel converts them", true},
        {"", "-h in.hex nowhere/out.bin", "Can not create nowhere/out.bin: No such file or directory", false},
        {"ulimit -f 100; ", "-h in.hex out.bin", "Can not write out.bin: File too large", false}, // 100 KiB of 120
        {"prlimit --fsize=1 ", "-h in.hex out.bin", "Can not write out.bin: File too large", false}, // a first write of one byte
        {"", "-h in.hex full.bin", "Can not write full.bin: No space left on device", false},
        // System calls made to fail. The input is read in three calls: two
        // with text, one at its end.
        {failing("openat", "EACCES", "in.hex"), "-h in.hex out.bin", "Can not open in.hex", true},
        {failing("read", "EIO", "in.hex", 1), "-h in.hex out.bin", "Can not read in.hex: Input/output error", true},
        {failing("read", "EIO", "in.hex", 2), "-h in.hex out.bin", "Can not read in.hex: Input/output error", true},
        {failing("read", "EISDIR", "in.hex", 3), "-h in.hex out.bin", "Can not read in.hex: Is a directory", true},
        // A message's line is counted by reading the input again: its rewind and its read may fail too.
        {failing("read", "EIO", "digit.hex", 3), "-h digit.hex out.bin", "Can not read digit.hex: Input/output error", true},
        {failing("lseek", "ESPIPE", "digit.hex", 2), "-h digit.hex out.bin", "Can not read digit.hex: Illegal seek", true},
        {failing("read", "EIO", "digit.hex", 2, "lseek", "ESPIPE", 2), "-h digit.hex out.bin", "Can not read digit.hex: Input/output error", true},
        {failing("openat", "EACCES", "out.bin"), "-h in.hex out.bin", "Can not create out.bin: Permission denied", true},
        // A device is not opened to look for HEX text in it: the first open is the one that writes.
        {failing("openat", "EACCES", "full.bin", 1), "-h in.hex full.bin", "Can not create full.bin: Permission denied", false},
        {failing("write", "ENOSPC", "out.bin"), "-h in.hex out.bin", "Can not write out.bin: No space left on device", false},
        {failing("ftruncate", "EIO", "out.bin"), "-h in.hex out.bin", "Can not write out.bin: Input/output error", false},
        {failing("close", "EDQUOT", "out.bin"), "-h in.hex out.bin", "Can not write out.bin: Disk quota exceeded", false},
    };
#ifndef ZEMKAR_SANITIZED
    cases.push_back({"ulimit -v 6000; ", "-h in.hex out.bin", "Out of memory", true}); // room to start, not for the image
    // Room for the image's buffer, not for the gap map behind it (8.93 to 9.14 MB measured); room
    // for a conversion (see WritesTheImageThatInputAndOptionAskFor), not for the map's notes as well.
    cases.push_back({"prlimit --as=9040000 ", "-h in.hex out.bin", "Out of memory", true});
    cases.push_back({"prlimit --as=9350000 ", "--map in.hex", "Out of memory", true});
#endif
    for (const auto& c : cases) {
        if (!runs(c.prefix + c.args))
            continue;
        fs::remove(dir / "out.bin");
        EXPECT_EQ(run(c.prefix, c.args), std::pair(1, c.message)) << c.args;
        EXPECT_FALSE(fs::exists(dir / "out.bin")) << c.args;
        const std::string existing(300000, 'p'); // longer than the image
        put("out.bin", existing);
        run(c.prefix, c.args);
        if (c.beforeOutput) {
            EXPECT_TRUE(get("out.bin") == Bytes(existing.begin(), existing.end())) << c.args;
        } else if (c.args.ends_with(" out.bin")) { // written over in part, then removed
            EXPECT_FALSE(fs::exists(dir / "out.bin")) << c.args;
        }
    }
    EXPECT_TRUE(fs::is_symlink(dir / "full.bin") && fs::is_character_file(dir / "full.bin"));
    EXPECT_TRUE(get("in.hex") == Bytes(text.begin(), text.end()));
}

// --help and --version, alone, print on standard output, with a line end, and
// exit with status 0; --help names the options the manual page names.
TEST(Zemkar, HelpAndVersion)
{
    const auto printed = [](const char* args) {
        auto [status, output] = run("", args);
        for (std::size_t at; windowsProgram && (at = output.find("\r\n")) != output.npos;)
            output.erase(at, 1); // a Windows program ends its lines with CR LF
        return std::pair(status, output);
    };
    EXPECT_EQ(printed("--version"), std::pair(0, std::string("zemkar " ZEMKAR_VERSION "\n")));
    if (!windowsProgram) { // standard output full: not a success
        EXPECT_EQ(run("", "--help > /dev/full").first, 1);
    }
    const auto [status, help] = printed("--help");
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(help.starts_with("zemkar [-opt] [input_file_name] [output_file_name]\n")) << help;
    EXPECT_TRUE(help.ends_with("\n")) << help;
    // The options each names: in the help, "  -r, --raw  ..." (the argument
    // -opt aside); in the manual page, ".BR \-r , \-\-raw" behind each .TP of its OPTIONS.
    const auto options = [](const std::string& listing, const std::string& mark) {
        std::set<std::string> found;
        std::istringstream lines(listing);
        for (std::string line, last; std::getline(lines, line); last = line) {
            if (mark == "help" ? !line.starts_with("  -") : last != ".TP")
                continue;
            std::istringstream words(mark == "help" ? line.substr(0, line.find("  ", 2)) : line);
            for (std::string word; words >> word;) {
                for (std::size_t at; (at = word.find('\\')) != word.npos;)
                    word.erase(at, 1);
                word.erase(std::remove_if(word.begin(), word.end(), [](char c) { return c == ',' || c == '"'; }), word.end());
                if (word.starts_with("-") && word != "-opt")
                    found.insert(word);
            }
        }
        return found;
    };
    std::ifstream manual(ZEMKAR_MANUAL);
    const std::string page(std::istreambuf_iterator<char>(manual), {});
    const auto section = page.find(".SH OPTIONS"), next = page.find(".SH", section + 1);
    const std::set<std::string> expected{"-r", "--raw", "-h", "--headed", "--leave-out", "--strict", "--map", "--check", "--help", "--version"};
    EXPECT_EQ(options(help, "help"), expected) << help;
    EXPECT_EQ(options(page.substr(section, next - section), "manual"), expected);
}

// An output that is the input, by name, hard link or symbolic link, or that
// holds Intel HEX text (a byte-order mark and blanks in front), is refused
// before anything is written: the file stays as it was.
TEST(Zemkar, RefusesAnOutputThatIsTheInputOrHexText)
{
    const std::string boot = "\xEF\xBB\xBF \r\n" + hexFile(first);
    // Text that opens with ':' and two hex digits, a byte-order mark and blanks apart, is HEX text; other text is not.
    const struct { std::string opening; bool hex; } outputs[] = {
        {hexFile(first), true}, {"\xEF\xBB\xBF" + hexFile(first), true}, {":0A", true}, {":0AG", true},
        {":AG", false}, {":GA", false}, {":0", false}, {"\xEF\xBB:0A", false}, {"\xEF\xBBx:0A", false},
    };
    for (const auto& [opening, hex] : outputs) {
        put("in.hex", text);
        put("other.bin", opening);
        const auto [status, said] = run("", "-r in.hex other.bin");
        EXPECT_EQ(status, hex ? 1 : 0) << opening.substr(0, 8) << ": " << said;
        EXPECT_EQ(get("other.bin") == Bytes(opening.begin(), opening.end()), hex) << opening.substr(0, 8);
    }
    const struct { const char* prefix; const char* args; const char* message; const char* output; } cases[] = {
        {"", "-h in.hex in.hex", "Output in.hex is the input", "in.hex"},
        {"", "-r in.hex ./in.hex", "Output ./in.hex is the input", "in.hex"},
        {"ln -f in.hex hard.hex && ", "-h in.hex hard.hex", "Output hard.hex is the input", "in.hex"},
        {"ln -sf in.hex soft.hex && ", "-h soft.hex in.hex", "Output in.hex is the input", "in.hex"},
        {"", "-r in.hex boot.hex", "Will not write over boot.hex: it holds Intel HEX text", "boot.hex"},
        {"", "--strict -h in.hex boot.hex", "Will not write over boot.hex: it holds Intel HEX text", "boot.hex"},
    };
    for (const auto& c : cases) {
        put("in.hex", text);
        put("boot.hex", boot);
        const std::string kept = c.output == std::string("in.hex") ? text : boot;
        EXPECT_EQ(run(c.prefix, c.args), std::pair(1, std::string(c.message))) << c.args;
        EXPECT_TRUE(get(c.output) == Bytes(kept.begin(), kept.end())) << c.args;
    }
}

// Where the second file's data do not start 0x8000 above the first file's,
// the image is written all the same, and a warning on standard error says
// where they start and where the image puts them; --strict refuses instead.
// Bytes left out with --leave-out are not laid, and a line on standard error
// tells each range's: the image and the warning are as if they were not there.
TEST(Zemkar, WarnsOfAnotherSlotAndTellsWhatItLeftOut)
{
    const auto warning = [](const char* secondAt, const char* putAt, const char* firstAt) {
        return std::string("the second file's data start at ") + secondAt + ", but the image puts them at " + putAt +
               " (0x8000 above the first file's " + firstAt + "): an application linked for another slot, or the files joined in the wrong order?";
    };
    const std::string reversed = warning("0x08000000", "0x08010000", "0x08008000");
    const Bytes boot = pattern(3000, 7), app = pattern(5000, 8);
    const std::string appFirst = hexFile(app, 0x08008000) + hexFile(boot);
    // The bootloader with an nRF UICR word, 8 bytes at 0x10001014 on lines 191 and 192.
    std::string uicr = hexFile(boot);
    uicr.insert(uicr.find(":04000005"), hexRecord(4, 0, {0x10, 0x00}) + hexRecord(0, 0x1014, {0, 0x80, 7, 0}) + hexRecord(0, 0x1018, {1, 2, 3, 4}));
    Bytes cut = boot, appCut = slice(app, 16, app.size() - 16), oneOut = boot;
    oneOut[0x10] = 0xFF;
    std::fill(cut.begin() + 8, cut.begin() + 0x18, 0xFF);
    const struct { std::string text, args, said, warned; Bytes image; } cases[] = {
        {text, "--strict -r in.hex out.bin", "", "", image},
        {twoImages({}, second), "--strict -r in.hex out.bin", "", "", expectedImage({}, second)},
        {appFirst, "-r in.hex out.bin", "", "Warning: " + reversed + "\n", expectedImage(app, boot)},
        {appFirst, "-h in.hex out.bin", "", "Warning: " + reversed + "\n", headed(headerFor(expectedImage(app, boot)), expectedImage(app, boot))},
        {hexFileAtZero(first, 0) + hexFileAtZero(second, 0x8100), "-r in.hex out.bin", "",
         "Warning: " + warning("0x00008100", "0x00008000", "0x00000000") + "\n", expectedImage(first, second)},
        {appFirst, "--strict --strict -r in.hex out.bin", reversed, "", {}},
        {hexFile(first) + hexFile(first), "--strict -h in.hex out.bin", warning("0x08000000", "0x08008000", "0x08000000"), "", {}},
        {uicr + hexFile(app, 0x08008000), "--leave-out 0x10001000-0x10001FFF -r in.hex out.bin", "",
         "Left out 8 bytes at 0x10001014-0x1000101B (first file, lines 191-192)\n", expectedImage(boot, app)},
        // Records across a range's edges keep their other bytes; a range with a typo leaves out nothing.
        {hexFile(boot) + hexFile(app, 0x08008000),
         "--leave-out=0x08000008-0x08000017 --leave-out 0x300000-0x30000F --leave-out 0x08008000-0x0800800F --leave-out 4294967040-0xFFFFFFFF "
         "-r in.hex out.bin",
         "",
         "Left out 16 bytes at 0x08000008-0x08000017 (first file, lines 2-3)\nLeft out nothing at 0x00300000-0x0030000F\n"
         "Left out 16 bytes at 0x08008000-0x0800800F (second file, line 2)\nLeft out nothing at 0xFFFFFF00-0xFFFFFFFF\nWarning: " +
             warning("0x08008010", "0x08008000", "0x08000000") + "\n",
         expectedImage(cut, appCut)},
        // A range that ends at the very byte the run goes on with.
        {hexFile(boot) + hexFile(app, 0x08008000), "--leave-out 0x08000010-0x08000010 -r in.hex out.bin", "",
         "Left out 1 byte at 0x08000010-0x08000010 (first file, line 3)\n", expectedImage(oneOut, app)},
        {hexFile(boot) + hexFile(boot), "--leave-out 0x08000000-0x0800000F -r in.hex out.bin", "",
         "Left out 32 bytes at 0x08000000-0x0800000F (first file, line 2; second file, line 2)\nWarning: " +
             warning("0x08000010", "0x08008010", "0x08000010") + "\n",
         expectedImage(slice(boot, 16, boot.size() - 16), slice(boot, 16, boot.size() - 16))},
    };
    for (const auto& c : cases) {
        put("in.hex", c.text);
        fs::remove(dir / "out.bin");
        EXPECT_EQ(run("{ ", c.args + " 2>warned.txt; }"), std::pair(c.said.empty() ? 0 : 1, c.said)) << c.args;
        const Bytes warned = get("warned.txt");
        std::string lines(warned.begin(), warned.end());
        for (std::size_t at; windowsProgram && (at = lines.find("\r\n")) != lines.npos;)
            lines.erase(at, 1); // a Windows program ends its lines with CR LF
        EXPECT_EQ(lines, c.warned) << c.args;
        EXPECT_TRUE(c.image.empty() ? !fs::exists(dir / "out.bin") : get("out.bin") == c.image) << c.args;
    }
}

// --map reads as a conversion does and shows where each file's bytes go, up
// to a refused record, whose message ends it; --check finds each field of a
// headed image that does not match it.
TEST(Zemkar, MapsAnInputAndChecksAHeadedImage)
{
    const auto row = [](unsigned offset, unsigned bytes, const char* file, unsigned address = 0) {
        char line[100];
        if (address == 0)
            std::snprintf(line, sizeof line, "0x%08X-0x%08X  %7u  %s\n", offset, offset + bytes - 1, bytes, file);
        else
            std::snprintf(line, sizeof line, "0x%08X-0x%08X  %7u  %-6s  0x%08X-0x%08X\n", offset, offset + bytes - 1, bytes, file, address,
                          address + bytes - 1);
        return std::string(line);
    };
    const auto sumOf = [](const Bytes& bytes) {
        char sum[8];
        std::snprintf(sum, sizeof sum, "0x%04X", unsigned(std::accumulate(bytes.begin(), bytes.end(), 0u) & 0xFFFF));
        return std::string(sum);
    };
    // The files' lines and the table's head, for a pair joined from these two texts.
    const auto head = [](const std::string& one, const std::string& two) {
        const auto lines = [](const std::string& hex) { return std::count(hex.begin(), hex.end(), '\n'); };
        return "first file: lines 1-" + std::to_string(lines(one)) + "\nsecond file: lines " + std::to_string(lines(one) + 1) + "-" +
               std::to_string(lines(one + two)) + ", told apart by the end-of-file record in front of it\n" +
               "offsets                  bytes  file    addresses\n";
    };
    const Bytes boot = pattern(3000, 7), app = pattern(5000, 8), bootAndApp = expectedImage(boot, app), appAndBoot = expectedImage(app, boot);
    std::string uicr = hexFile(boot);
    uicr.insert(uicr.find(":04000005"), hexRecord(4, 0, {0x10, 0x00}) + hexRecord(0, 0x1014, {0, 0x80, 7, 0}));
    const std::string appFirst = hexFile(app, 0x08008000) + hexFile(boot), emptyAndApp = hexFile({}) + hexFile(app, 0x08008000);
    const std::string appFirstMap = head(hexFile(app, 0x08008000), hexFile(boot)) + row(0, 5000, "first", 0x08008000) +
                                    row(5000, 0x8000 - 5000, "fill") + row(0x8000, 3000, "second", 0x08000000) + "image: 35768 bytes, checksum " +
                                    sumOf(appAndBoot) + "; headed image: 35778 bytes\n";
    const std::string otherSlot = "the second file's data start at 0x08000000, but the image puts them at 0x08010000 (0x8000 above the first "
                                  "file's 0x08008000): an application linked for another slot, or the files joined in the wrong order?";
    const Bytes headedImage = headed(headerFor(image), image);
    Bytes changed = headedImage, longer = headedImage, marked = headedImage, markedHigh = headedImage;
    changed[5000] ^= 1;
    longer[6] += 1;
    longer[9] = 1; // 16 MiB more
    marked[0] = 1;
    markedHigh[1] = 2;
    const Bytes cut = slice(headedImage, 0, headedImage.size() - 1);
    const struct { std::string text; Bytes file; std::string args; int status; std::string printed; std::string prefix = ""; } cases[] = {
        {text, {}, "--map in.hex", 0,
         head(hexFile(first), hexFile(second, 0x08008000)) + row(0, 6000, "first", 0x08000000) + row(6000, 0x8000 - 6000, "fill") +
             row(0x8000, 90000, "second", 0x08008000) + "image: 122768 bytes, checksum " + sumOf(image) + "; headed image: 122778 bytes\n"},
        // A far word: the runs in front of it, then the conversion's message.
        {uicr + hexFile(app, 0x08008000), {}, "--map in.hex", 1,
         "first file: lines 1-193\noffsets                  bytes  file    addresses\n" + row(0, 3000, "first", 0x08000000) +
             "First image exceeds 0x8000 bytes at line 191 (a record at 0x10001014; the image starts at 0x08000000)"},
        {uicr + hexFile(app, 0x08008000), {}, "--leave-out 0x10001000-0x10001FFF --map in.hex 2>/dev/null", 0,
         head(uicr, hexFile(app, 0x08008000)) + row(0, 3000, "first", 0x08000000) + row(3000, 0x8000 - 3000, "fill") +
             row(0x8000, 5000, "second", 0x08008000) + "image: 37768 bytes, checksum " + sumOf(bootAndApp) + "; headed image: 37778 bytes\n"},
        {appFirst, {}, "--map in.hex", 0, appFirstMap + "Warning: " + otherSlot + "\n"},
        // An empty first file: the fill, the second file's run, then the third file refused.
        {emptyAndApp + hexFile(boot), {}, "--map in.hex", 1,
         head(hexFile({}), hexFile(app, 0x08008000)) + row(0, 0x8000, "fill") + row(0x8000, 5000, "second", 0x08008000) +
             "More than two HEX files: a third starts at line " + std::to_string(std::count(emptyAndApp.begin(), emptyAndApp.end(), '\n') + 1)},
        {appFirst, {}, "--strict --map in.hex", 1, appFirstMap + otherSlot},
        {"", headedImage, "--check out.img", 0, "out.img: headed image, 122,768 bytes, checksum " + sumOf(image) + ": right\n"},
        {"", changed, "--check out.img", 1,
         "out.img: headed image, but the header gives checksum " + sumOf(image) + ", the image sums to " + sumOf(slice(changed, 10, image.size()))},
        {"", longer, "--check out.img", 1, "out.img: headed image, but the header gives 16,899,985 bytes, the file holds 122,768"},
        {"", marked, "--check out.img", 1, "out.img: headed image, but bytes 0 and 1 are 0x01 0x00, not zero"},
        {"", markedHigh, "--check out.img", 1, "out.img: headed image, but bytes 0 and 1 are 0x00 0x02, not zero"},
        {"", cut, "--check out.img", 1,
         "out.img: headed image, but the header gives 122,768 bytes, the file holds 122,767; the header gives checksum " + sumOf(image) +
             ", the image sums to " + sumOf(slice(cut, 10, image.size() - 1))},
        {"", Bytes{0, 0, 0, 0, 0x55, 0xAA}, "--check out.img", 1, "out.img: not a headed image: it is shorter than a header's 10 bytes"},
        {"", image, "--check out.img", 1, "out.img: not a headed image: no signature 0x55 0xAA at offset 4 (a raw image has no header to check)"},
        {"", joinedBytes({slice(headedImage, 0, 5), {0}, slice(headedImage, 6, 100)}), "--check out.img", 1,
         "out.img: not a headed image: no signature 0x55 0xAA at offset 4 (a raw image has no header to check)"},
        {"", joinedBytes({slice(headedImage, 0, 4), {0}, slice(headedImage, 5, 100)}), "--check out.img", 1,
         "out.img: not a headed image: no signature 0x55 0xAA at offset 4 (a raw image has no header to check)"},
        // The bundled example, as the README shows it, and its headed image.
        {"", {}, "--map " ZEMKAR_EXAMPLES "/two-images.hex", 0,
         "first file: lines 1-456\nsecond file: lines 457-5490, told apart by the end-of-file record in front of it\n"
         "offsets                  bytes  file    addresses\n" + row(0, 0x1C4A, "first", 0x08000000) + row(0x1C4A, 0x8000 - 0x1C4A, "fill") +
             row(0x8000, 80476, "second", 0x08008000) + "image: 113244 bytes, checksum 0x9ED7; headed image: 113254 bytes\n"},
        {"", {}, "--check " ZEMKAR_EXAMPLES "/two-images.bin", 0, ZEMKAR_EXAMPLES "/two-images.bin: headed image, 113,244 bytes, checksum 0x9ED7: right\n"},
        {"", {}, "--check nowhere.img", 1, "Can not open nowhere.img"},
        {"", headedImage, "--check out.img", 1, "Can not read out.img: Input/output error", failing("read", "EIO", "out.img", 1)},
        {text, {}, "--map in.hex", 1, "Can not read in.hex: Input/output error", failing("read", "EIO", "in.hex", 1)},
        {text, {}, "--map in.hex > /dev/full", 1, ""}, // the map counts only once it is out
        {"", {}, "--check .", 1, "Can not open ."},
    };
    for (const auto& c : cases) {
        put("in.hex", c.text);
        put("out.img", std::string(c.file.begin(), c.file.end()));
        if (!runs(c.prefix + c.args))
            continue;
        auto [status, printed] = run("{ " + c.prefix, c.args + "; }");
        for (std::size_t at; windowsProgram && (at = printed.find("\r\n")) != printed.npos;)
            printed.erase(at, 1); // a Windows program ends its lines with CR LF
        EXPECT_EQ(std::pair(status, printed), std::pair(c.status, c.printed)) << c.args;
    }
}

// Each finishes in well under a second per 10 MB, with the right image or a clear message.
TEST(Zemkar, HostileSizesFinishQuickly)
{
    put("colons.hex", std::string(10'000'000, ':'));
    put("bytes.hex", twoImages({}, pattern(1'000'000), 1)); // a million records of one byte
    put("junk.hex", "");
    fs::resize_file(dir / "junk.hex", 200'000'000); // text before the first record, none of it on disk
    std::ofstream(dir / "junk.hex", std::ios::binary | std::ios::app) << text;
    const struct { const char* args; std::string message; Bytes image; } cases[] = {
        {"-r colons.hex out.bin", "Bad hex digit at line 1", {}},
        {"-r bytes.hex out.bin", "", expectedImage({}, pattern(1'000'000))},
        {"-r junk.hex out.bin", "", image},
    };
    for (const auto& c : cases) {
        const auto size = fs::file_size(dir / std::string(c.args).substr(3, std::string(c.args).find(' ', 3) - 3));
        fs::remove(dir / "out.bin");
        const auto seconds = [](auto&& action) {
            const auto start = std::chrono::steady_clock::now();
            action();
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        };
        const double startUp = seconds([] { run("", ""); }); // the usage text: starting, no work
        const double took = seconds([&] { EXPECT_EQ(run("", c.args).second, c.message) << c.args; });
        EXPECT_LT(took - startUp, static_cast<double>(1 + size / 10'000'000)) << c.args;
        EXPECT_TRUE(c.image.empty() ? !fs::exists(dir / "out.bin") : get("out.bin") == c.image) << c.args;
    }
}

// Inputs past 4 GiB, and more than 2^32 line feeds: the counts of characters
// and of lines must not wrap, on a 32-bit program above all. Each file is
// sparse, its texts behind gigabytes of holes, none of it on disk, and is
// removed at once, which frees the pages its reading filled. Some 25 s: run
// with --large.
TEST(Zemkar, ReadsInputsPast4GiB)
{
    if (!largeInputs)
        GTEST_SKIP() << "inputs past 4 GiB: run with --large";
    constexpr std::uintmax_t gib = 1u << 30;
    const std::string bad = ":0G000000\n";
    struct Piece { std::uintmax_t holesUpTo; std::string text; };
    const struct { std::vector<Piece> file; std::string prefix, args, message; } cases[] = {
        {{{4 * gib + gib / 2, text}}, "", "-r in.hex out.bin", ""},
        // Line feeds past 4 GiB, far from the fault: a count of 32 bits loses them.
        {{{4 * gib, std::string(1000, '\n')}, {4 * gib + gib / 2, bad}}, "", "-h in.hex out.bin", "Bad hex digit at line 1001"},
        // A fault 100 bytes below 4 GiB, with text behind it: the read that
        // takes in its record is the last below 4 GiB, and counting lines
        // again up to it must end.
        {{{4 * gib - 100, bad + std::string(65536, ' ')}}, "", "-h in.hex out.bin", "Bad hex digit at line 1"},
        {{{0, bad}}, "(yes '' | head -c 4294967400; cat in.hex) | ", "-h /dev/stdin out.bin", "Bad hex digit at line 4294967401"},
    };
    for (const auto& c : cases) {
        if (!runs(c.prefix + c.args))
            continue;
        put("in.hex", "");
        for (const auto& piece : c.file) {
            fs::resize_file(dir / "in.hex", piece.holesUpTo);
            std::ofstream(dir / "in.hex", std::ios::binary | std::ios::app) << piece.text;
        }
        fs::remove(dir / "out.bin");
        // A bound for a run that would not end: the pipe's 4 GiB take 27 s on i686 here, and
        // once took past 60 s on a busy machine.
        EXPECT_EQ(run(c.prefix + "timeout 180 ", c.args), std::pair(c.message.empty() ? 0 : 1, c.message)) << c.args;
        EXPECT_TRUE(c.message.empty() ? get("out.bin") == image : !fs::exists(dir / "out.bin")) << c.args;
        fs::remove(dir / "in.hex");
    }
}

#ifdef ZEMKAR_COUNTS_INSTRUCTIONS
// The instructions a byte of the largest input that the program under test
// may take: a tenth more than measured, 1.60 with the SSE2 kernels (1.77 as
// clang builds them, the C++ runtime loaded too), 5.63 with their portable
// twins, 6.55 with those on i686. This build's own program runs
// this build's kernels. Another program's ELF header names its processor: on
// x86-64, where every processor has SSE2, zemkar runs the SSE2 kernels;
// anywhere else the portable ones.
double instructionBudget()
{
    constexpr double sse2 = 1.76, clangSse2 = 1.95, portable = 6.2, i686 = 7.2;
    if (ownProgram)
        return ZEMKAR_SSE2_PROGRAM ? (clangBuild ? clangSse2 : sse2) : portable;
    unsigned char header[20] = {};
    std::ifstream(program, std::ios::binary).read(reinterpret_cast<char*>(header), sizeof header);
    constexpr unsigned x86_64 = 62, i386 = 3; // e_machine, little-endian as on every processor valgrind counts here
    const auto machine = static_cast<unsigned>(header[18] | header[19] << 8);
    return machine == x86_64 ? sse2 : machine == i386 ? i686 : portable;
}

// The fast path takes the bulk of the largest input. Instructions are
// counted, not timed, so a change that quietly switches it off fails here on
// any machine, however busy.
TEST(Zemkar, LargestInputTakesFewInstructionsAByte)
{
    put("largest.hex", largestText);
    const std::string prefix = "valgrind --tool=callgrind --callgrind-out-file=/dev/null ";
    if (!leftOut(prefix).empty())
        GTEST_SKIP() << leftOut(prefix);
    const auto [status, output] = run(prefix, "-h largest.hex out.bin");
    const auto collected = output.find("Collected : ");
    ASSERT_EQ(status, 0) << output;
    ASSERT_NE(collected, output.npos) << output;
    const double perByte = std::stod(output.substr(collected + 12)) / static_cast<double>(largestText.size());
    EXPECT_LE(perByte, instructionBudget());
    std::printf("%.2f instructions a byte of %zu\n", perByte, largestText.size());
}
#endif

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--windows")
            windowsProgram = true;
        else if (std::string(argv[i]) == "--emulated")
            emulatedProgram = true;
        else if (std::string(argv[i]) == "--large")
            largeInputs = true;
        else {
            program = argv[i];
            ownProgram = false;
        }
    }
    char pattern[] = "/tmp/zemkar-e2e-XXXXXX";
    dir = mkdtemp(pattern);
    const int result = RUN_ALL_TESTS();
    fs::remove_all(dir);
    return result;
}
