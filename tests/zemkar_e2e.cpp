// Runs the built program on files in a temporary directory.
#include "hextext.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

std::string program = ZEMKAR_PROGRAM; // a test argument may name another build
fs::path dir;

struct Outcome { int status; std::string output; };

// Runs "<prefix> program <args>" in a shell, from the temporary directory.
Outcome run(const std::string& args, const std::string& prefix = "")
{
    const std::string command = "cd '" + dir.string() + "' && " + prefix + "'" + program + "' " + args + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    for (int c; (c = std::fgetc(pipe)) != EOF;)
        output += static_cast<char>(c);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), output};
}

void put(const std::string& name, const std::string& text) { std::ofstream(dir / name, std::ios::binary) << text; }

Bytes get(const std::string& name)
{
    std::ifstream in(dir / name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes headed(const Bytes& image)
{
    unsigned sum = 0;
    for (auto byte : image)
        sum += byte;
    const auto length = image.size();
    Bytes file(10);
    std::copy(image.begin(), image.end(), std::back_inserter(file));
    for (auto [at, value] : {std::pair{2, sum}, {3, sum >> 8}, {4, 0x55u}, {5, 0xAAu}, {6, length},
                             {7, length >> 8}, {8, length >> 16}, {9, length >> 24}})
        file[at] = static_cast<std::uint8_t>(value);
    return file;
}

const Bytes first = pattern(6000, 3), second = pattern(90000, 4);
const Bytes image = expectedImage(first, second);

TEST(Zemkar, WritesHeadedAndRawImages)
{
    put("in.hex", twoImages(first, second));
    EXPECT_EQ(run("-r in.hex raw.bin").status, 0);
    EXPECT_TRUE(get("raw.bin") == image);
    EXPECT_EQ(run("-h in.hex headed.bin").output, "");
    const Bytes file = get("headed.bin");
    ASSERT_EQ(file.size(), 10 + image.size());
    EXPECT_EQ(file[0] | file[1], 0) << "zero";
    EXPECT_EQ(file[2] | file[3] << 8, headed(image)[2] | headed(image)[3] << 8) << "checksum";
    EXPECT_EQ(file[4] << 8 | file[5], 0x55AA) << "signature";
    EXPECT_EQ(file[6] | file[7] << 8 | file[8] << 16 | file[9] << 24, 0x8000 + 90000) << "length";
    EXPECT_TRUE(Bytes(file.begin() + 10, file.end()) == image);
}

TEST(Zemkar, ConvertsTheBundledExampleAsItsGeneratorDoes)
{
    const std::string examples = ZEMKAR_EXAMPLES;
    EXPECT_EQ(run("-h '" + examples + "/two-images.hex' out.bin").output, "");
    std::ifstream expected(examples + "/two-images.bin", std::ios::binary);
    EXPECT_TRUE(get("out.bin") == Bytes(std::istreambuf_iterator<char>(expected), {}));
}

TEST(Zemkar, FillOnlyImageHasTheKnownHeader)
{
    put("empty.hex", twoImages({}, {}));
    EXPECT_EQ(run("-b empty.hex out.bin").status, 0);
    const Bytes file = get("out.bin");
    EXPECT_EQ(file.size(), 32778u);
    EXPECT_TRUE(Bytes(file.begin(), file.begin() + 10) == Bytes({0, 0, 0, 0x80, 0x55, 0xAA, 0, 0x80, 0, 0}));
}

TEST(Zemkar, SecondCharacterOfTheOptionChoosesTheForm)
{
    put("in.hex", twoImages(first, second));
    const struct { const char* option; bool raw; } cases[] = {
        {"-r", true}, {"/r", true}, {"xrx", true}, {"-h", false}, {"-x", false},
        {"-R", false}, {"r", false}, {"''", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(std::string(c.option) + " in.hex out.bin").status, 0) << c.option;
        EXPECT_TRUE(get("out.bin") == (c.raw ? image : headed(image))) << c.option;
    }
}

TEST(Zemkar, ReadsBytesFromAnyKindOfInput)
{
    const std::string text = twoImages(first, second);
    put("in.hex", text);
    put("ctrlz.hex", "\x1A\r\n" + text);
    const struct { const char* args; const char* prefix; } cases[] = {
        {"-r /dev/stdin out.bin", "cat in.hex | "},
        {"-r /dev/stdin out.bin", "(head -c 1000 in.hex; sleep 0.2; tail -c +1001 in.hex) | "},
        {"-r ctrlz.hex out.bin", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.args, c.prefix).output, "") << c.prefix;
        EXPECT_TRUE(get("out.bin") == image) << c.prefix;
    }
}

TEST(Zemkar, ReplacesALongerOutputFile)
{
    put("in.hex", twoImages({}, {}));
    put("out.bin", std::string(100000, 'x'));
    EXPECT_EQ(run("-r in.hex out.bin").status, 0);
    EXPECT_TRUE(get("out.bin") == Bytes(0x8000, 0xFF));
}

// Every failure: its message, exit status 1, no new output file, an existing one untouched.
TEST(Zemkar, FailuresLeaveNoOutputBehind)
{
    put("in.hex", twoImages(first, second));
    put("bad.hex", hexFile(first));
    fs::create_directory(dir / "folder");
    const struct { std::string args; std::string message; } cases[] = {
        {"", "zemkar [-opt] [input_file_name] [output_file_name]"},
        {"-h in.hex", "zemkar [-opt] [input_file_name] [output_file_name]"},
        {"-h in.hex out.bin extra", "zemkar [-opt] [input_file_name] [output_file_name]"},
        {"-h missing.hex out.bin", "Can not open missing.hex"},
        {"-h folder out.bin", "Can not open folder"},
        {"-h bad.hex out.bin", "No 000004 record to end the first image"},
    };
    for (const auto& c : cases) {
        fs::remove(dir / "out.bin");
        EXPECT_EQ(run(c.args).output, c.message) << c.args;
        EXPECT_FALSE(fs::exists(dir / "out.bin")) << c.args;
        put("out.bin", "precious");
        const auto result = run(c.args);
        EXPECT_EQ(result.status, 1) << c.args;
        EXPECT_TRUE(get("out.bin") == Bytes({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'})) << c.args;
    }
}

TEST(Zemkar, FailedOutputIsReportedAndRemoved)
{
    put("in.hex", twoImages(first, second));
    const struct { const char* args; const char* prefix; const char* message; } cases[] = {
        {"-h in.hex /dev/full", "", "Can not write /dev/full"},
        {"-h in.hex nowhere/out.bin", "", "Can not create nowhere/out.bin"},
        {"-h in.hex out.bin", "ulimit -f 64; ", "Can not write out.bin"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.args, c.prefix).output, c.message) << c.args;
        EXPECT_EQ(run(c.args, c.prefix).status, 1) << c.args;
        EXPECT_FALSE(fs::exists(dir / "out.bin")) << c.args;
    }
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc > 1)
        program = argv[1];
    char pattern[] = "/tmp/zemkar-e2e-XXXXXX";
    dir = mkdtemp(pattern);
    const int result = RUN_ALL_TESTS();
    fs::remove_all(dir);
    return result;
}
