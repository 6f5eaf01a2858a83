// The real brannock binary, run as an operator runs it: in a working directory of firmware
// files, on the real library and the virtual camera, with scripted answers on standard
// input. Standard output is a pipe, so the transcript carries no colour sequences.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "vcam/vcam.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

const std::string kBanner = "-----------------------\n USB3 Firmware Upload.\n-----------------------\n";
const std::string kDiscover = "discover: VCam-1 Version 1.0.0 Virtual USB3 Vision camera\n\n";
const std::string kPrompt = "choose your firmware to be uploaded:  \n";
const std::string kRejected = "no coresponding firmware to your choice. \n";

struct Outcome {
    std::string out;
    int status = -1;
    double seconds = 0;
};

class BrannockProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("brannock-run-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        work = root / "work";
        fs::create_directories(work);
        fs::create_directories(root / "state");
        configure("[camera]\n");
    }
    void TearDown() override { fs::remove_all(root); }

    // The virtual world: the state directory and then the given sections.
    void configure(const std::string& sections) {
        std::ofstream(root / "vcam.ini") << "state_dir = " << (root / "state").string() << "\n" << sections;
    }
    void touch(const std::string& name, const std::string& bytes = "firmware") const {
        std::ofstream(work / name, std::ios::binary) << bytes;
    }
    // The names the program will list, in the order the directory gives them.
    std::vector<std::string> listed(bool (*offered)(const std::string&)) const {
        std::vector<std::string> names;
        DIR* dir = opendir(work.c_str());
        while (const dirent* entry = readdir(dir))
            if (offered(entry->d_name)) names.emplace_back(entry->d_name);
        closedir(dir);
        return names;
    }
    static std::string catalogue(const std::vector<std::string>& names, size_t shown = 32) {
        std::string text;
        char line[512];
        for (size_t i = 0; i < names.size() && i < shown; ++i) {
            std::snprintf(line, sizeof line, "\t%02zu) %s\n", i + 1, names[i].c_str());
            text += line;
        }
        return text + "\n";
    }

    // `watch` sees the output so far after each read, with the program's process id.
    using Watch = std::function<void(pid_t, const std::string&)>;
    Outcome run(const std::string& input, const std::vector<std::string>& extraEnv = {},
            const std::string& binary = BRANNOCK_BINARY, const Watch& watch = {}) const {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.rfind("LD_LIBRARY_PATH=", 0) == 0 || entry.rfind("VCAM_", 0) == 0 ||
                entry.rfind("LD_PRELOAD=", 0) == 0 || entry.rfind("ASAN_OPTIONS=", 0) == 0)
                continue;
            env.push_back(entry);
        }
        env.push_back(std::string("LD_LIBRARY_PATH=") + VCAM_LIBRARY_DIR);
        env.push_back("VCAM_CONFIG=" + (root / "vcam.ini").string());
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        // In sanitizer builds the preloaded probe comes before the sanitizer's runtime.
        for (const std::string& e : extraEnv)
            if (e.rfind("LD_PRELOAD=", 0) == 0) env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
        std::vector<char*> envp;
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);

        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return {};
        // A closed answer pipe must not kill the test; the program gets the default back.
        std::signal(SIGPIPE, SIG_IGN);
        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            const int err = open((root / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            close(in[1]);
            close(out[0]);
            std::signal(SIGPIPE, SIG_DFL);
            if (chdir(work.c_str()) != 0) _exit(126);
            char* argv[] = {const_cast<char*>(binary.c_str()), nullptr};
            execve(binary.c_str(), argv, envp.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        // The program may end before it reads its answers (no camera, no library): the
        // write then fails with EPIPE, which is not a fault of the run.
        for (size_t sent = 0; sent < input.size();) {
            const ssize_t n = write(in[1], input.data() + sent, input.size() - sent);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EPIPE) ADD_FAILURE() << "stdin not written: " << std::strerror(errno);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        close(in[1]);
        Outcome result;
        char buffer[4096];
        ssize_t n;
        while ((n = read(out[0], buffer, sizeof buffer)) > 0) {
            result.out.append(buffer, static_cast<size_t>(n));
            if (watch) watch(pid, result.out);
        }
        close(out[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return result;
    }

    fs::path root, work;
};

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// An image for the virtual camera whose file length is not a multiple of 4 (1161 bytes).
std::string imageFor(const std::string& model, const std::string& version, size_t payloadSize = 1001) {
    std::vector<uint8_t> payload(payloadSize);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 13 + 1);
    const std::vector<uint8_t> image = vcam::makeFirmwareImage(model, version, payload);
    return std::string(image.begin(), image.end());
}

const std::string kChoice = "\t01) VCam-1_2.0.0.bin\n\n" + kPrompt + "Upload firmware -> VCam-1_2.0.0.bin\n" +
                            "Upload 1164 bytes to camera ...\n";
const std::string kProgress =
    "\rUploading 0% \rUploading 1% \rUploading 2% \rUploading 3% \rUploading 4% \rUploading 100% \n";
const std::string kFlashing = "writing to flash...[PLEASE DO NOT DISCONNECT THE DEVICE]\n"
                              "Please wait, while device rebooting  ... \n\n";

// The addresses of the write commands into the download window that a probed run sent,
// as little-endian hex.
std::vector<std::string> windowWrites(const fs::path& commands) {
    std::vector<std::string> addresses;
    std::ifstream in(commands);
    for (std::string line; std::getline(in, line);)
        if (line.size() >= 40 && line.compare(0, 8, "55335643") == 0 && line.compare(12, 4, "0208") == 0 &&
            (line.compare(30, 2, "7e") == 0 || line.compare(30, 2, "7f") == 0))
            addresses.push_back(line.substr(24, 16));
    return addresses;
}

const std::string kBox =
    "\n\t**************************************************************\n"
    "\t* QUORVANTIS U3V Update Tool, v1.2.0 (Nov  2 2016, 08:11:27) *\n"
    "\t**************************************************************\n\n\n";

TEST_F(BrannockProgramTest, CompleteUpdate) {
    configure("[camera]\nflash_time_ms = 300\nreboot_time_ms = 300\n");
    const std::string image = imageFor("VCam-1", "2.0.0");
    touch("VCam-1_2.0.0.bin", image);
    const Outcome r = run("1\n\n");
    EXPECT_EQ(r.status, 0);

    const std::string before = kBanner + kDiscover + kChoice + kProgress + kFlashing +
                               "back: VCam-1 Version 2.0.0 (before: VCam-1 Version 1.0.0)\n\n"
                               "Firmware Upload done.\n\n";
    ASSERT_EQ(r.out.substr(0, before.size()), before) << r.out;
    // "Elasped time: <digits>.<two digits> seconds.\n", then the closing box.
    const std::string rest = r.out.substr(before.size());
    const std::string prefix = "Elasped time: ";
    ASSERT_EQ(rest.compare(0, prefix.size(), prefix), 0) << rest;
    const size_t dot = rest.find('.', prefix.size());
    ASSERT_NE(dot, std::string::npos) << rest;
    const std::string digits = rest.substr(prefix.size(), dot - prefix.size());
    ASSERT_FALSE(digits.empty());
    EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << rest;
    ASSERT_GE(rest.size(), dot + 3);
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(rest[dot + 1])) &&
                std::isdigit(static_cast<unsigned char>(rest[dot + 2])))
        << rest;
    EXPECT_EQ(rest.substr(dot + 3), " seconds.\n" + kBox);
    const double elapsed = std::stod(rest.substr(prefix.size(), dot + 3 - prefix.size()));
    EXPECT_GE(elapsed, 0.55);  // the flash and the reboot time at least
    EXPECT_LE(elapsed, r.seconds + 0.01);

    std::string padded = image;
    padded.resize(1164, '\0');
    EXPECT_EQ(readAll(root / "state" / "VC0000000001.flash"), padded);
    EXPECT_FALSE(fs::exists(work / "log.txt"));

    // The new version is what the camera reports from now on, in a later process too.
    const Outcome again = run("1\n\n");
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out.rfind(kBanner + "discover: VCam-1 Version 2.0.0 Virtual USB3 Vision camera\n\n", 0), 0u)
        << again.out;
}

// A data write the camera keeps refusing: the run stops before the start command.
TEST_F(BrannockProgramTest, FailedDataWriteSendsNoStartCommand) {
    touch("VCam-1_2.0.0.bin", imageFor("VCam-1", "2.0.0"));
    const fs::path commands = root / "commands.txt";
    const Outcome r = run("1\n\n", {std::string("LD_PRELOAD=") + VCAM_PROBE, "VCAM_PROBE_FAIL_ADDRESS=0x7F000100",
                                    "VCAM_PROBE_COMMANDS=" + commands.string()});
    EXPECT_EQ(r.out, kBanner + kDiscover + kChoice + "\rUploading 0% \n" +
                         "Writing 256 bytes at 0x7F000100 failed (status 0x8006); the camera was not told to flash.\n");
    EXPECT_EQ(r.status, 3);

    int failedPiece = 0, starts = 0, length = 0;
    std::ifstream in(commands);
    for (std::string line; std::getline(in, line);) {
        if (line.size() < 40 || line.compare(0, 8, "55335643") != 0 || line.compare(12, 4, "0208") != 0) continue;
        const std::string address = line.substr(24, 16);  // little-endian hex
        if (address == "0001007f00000000") ++failedPiece;
        if (address == "fcffff7e00000000") ++starts;
        if (address == "f8ffff7e00000000") ++length;
    }
    EXPECT_EQ(length, 1);
    EXPECT_EQ(failedPiece, 3);
    EXPECT_EQ(starts, 0);
    EXPECT_FALSE(fs::exists(root / "state" / "VC0000000001.flash"));
}

bool endsInBin(const std::string& name) { return name.size() >= 4 && name.compare(name.size() - 4, 4, ".bin") == 0; }
bool forVCam1(const std::string& name) { return name.rfind("VCam-1_", 0) == 0 && endsInBin(name); }

TEST_F(BrannockProgramTest, NoCameraAttached) {
    configure("");
    touch("VCam-1_2.0.0.bin");
    // More answers than a pipe holds: the program ends long before it could read them.
    const Outcome r = run("1\n" + std::string(1 << 20, '\n'));
    EXPECT_EQ(r.out, kBanner + "No camera found.\n");
    EXPECT_EQ(r.status, 2);
}

TEST_F(BrannockProgramTest, LibraryFileMissing) {
    // A copy of the program with no library beside it nor in ../lib.
    fs::create_directories(root / "alone");
    const fs::path copy = root / "alone" / "brannock";
    fs::copy_file(BRANNOCK_BINARY, copy);
    const Outcome r = run("1\n", {}, copy.string());
    EXPECT_EQ(r.out, kBanner + "The camera library libTessoral.so.1 cannot be loaded.\n");
    EXPECT_EQ(r.status, 2);
}

// Only "<model>_<anything>.bin" suits a camera, compared byte for byte.
TEST_F(BrannockProgramTest, NoSuitableFileEndsAfterThreeSeconds) {
    for (const char* name : {"VCam-1.bin", "VCam-1_a.BIN", "VCam-2_a.bin", "_VCam-1.bin", "VCam-1_a.bin.txt"})
        touch(name);
    const Outcome r = run("1\n");
    EXPECT_EQ(r.out, kBanner + kDiscover + "\n" + "no firmware for VCam-1 available !!\n\nProgramm exiting.\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_GE(r.seconds, 2.9);
}

TEST_F(BrannockProgramTest, AnswersOutsideTheCatalogueAreRefused) {
    touch("VCam-1_2.0.0.bin");
    touch("VCam-1_2.0.1.bin");
    const std::string offered = catalogue(listed(forVCam1));
    for (const char* answer : {"0\n", "3\n", "-1\n", "two\n", ""}) {
        SCOPED_TRACE(answer);
        const Outcome r = run(answer);
        EXPECT_EQ(r.out, kBanner + kDiscover + offered + kPrompt + kRejected);
        EXPECT_EQ(r.status, 1);
    }
}

TEST_F(BrannockProgramTest, BootLoaderIsOfferedEveryBinName) {
    configure("[camera]\nmodel = U3V_Bootloader\n");
    for (const char* name : {"VCam-1_2.0.0.bin", "Other_1.bin", "plain.bin", "x.BIN", "notes.txt"}) touch(name);
    fs::create_directories(work / "folder.bin");
    const std::vector<std::string> names = listed(endsInBin);
    ASSERT_EQ(names.size(), 4u);
    const Outcome r = run("5\n");
    EXPECT_EQ(r.out, kBanner + "discover: U3V_Bootloader Version 1.0.0 Virtual USB3 Vision camera\n\n" +
                         catalogue(names) + kPrompt + kRejected);
    EXPECT_EQ(r.status, 1);
}

// Names that are no regular file are refused before the camera is written to, without
// waiting on a FIFO that nobody writes into.
TEST_F(BrannockProgramTest, IrregularFilesAreNeverSent) {
    configure("[camera]\nmodel = U3V_Bootloader\n");
    fs::create_directories(work / "folder.bin");
    if (mkfifo((work / "pipe.bin").c_str(), 0644) != 0) GTEST_FAIL() << "no FIFO: " << std::strerror(errno);
    const std::vector<std::string> names = listed(endsInBin);
    ASSERT_EQ(names.size(), 2u);
    for (size_t choice = 1; choice <= 2; ++choice) {
        const std::string& name = names[choice - 1];
        SCOPED_TRACE(name);
        const fs::path commands = root / "commands.txt";
        // A program stuck opening the FIFO is set free after a while, to fail on its output.
        std::atomic<bool> done{false};
        std::thread release([&] {
            for (int i = 0; i < 1000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (done) return;
            const int fd = open((work / "pipe.bin").c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) close(fd);
        });
        const Outcome r = run(std::to_string(choice) + "\n\n",
                              {std::string("LD_PRELOAD=") + VCAM_PROBE, "VCAM_PROBE_COMMANDS=" + commands.string()});
        done = true;
        release.join();
        EXPECT_EQ(r.out, kBanner + "discover: U3V_Bootloader Version 1.0.0 Virtual USB3 Vision camera\n\n" +
                             catalogue(names) + kPrompt + "Upload firmware -> " + name + "\n" + name +
                             " is not a regular file; nothing was sent to the camera.\n");
        EXPECT_EQ(r.status, 2);
        // Only the first camera object's traffic: no write into the download window at all.
        std::ifstream in(commands);
        for (std::string line; std::getline(in, line);)
            EXPECT_FALSE(line.size() >= 40 && line.compare(12, 4, "0208") == 0 &&
                         (line.compare(30, 2, "7e") == 0 || line.compare(30, 2, "7f") == 0))
                << line;
    }
}
TEST_F(BrannockProgramTest, MoreThan32CandidatesOffersTheFirst32) {
    for (int i = 0; i < 34; ++i) touch("VCam-1_" + std::to_string(100 + i) + ".bin");
    const std::vector<std::string> names = listed(forVCam1);
    const Outcome r = run("33\n");
    EXPECT_EQ(r.out, kBanner + kDiscover + catalogue(names, 32) +
                         "2 more firmware files found; only the first 32 can be chosen.\n\n" + kPrompt + kRejected);
    EXPECT_EQ(r.status, 1);
}

TEST_F(BrannockProgramTest, UnreadableFirmwareFileEndsWithAMessage) {
    fs::create_symlink(work / "nowhere", work / "VCam-1_gone.bin");
    const Outcome r = run("1\n");
    EXPECT_EQ(r.out, kBanner + kDiscover + catalogue({"VCam-1_gone.bin"}) + kPrompt +
                         "Upload firmware -> VCam-1_gone.bin\nThe firmware file cannot be opened.\n");
    EXPECT_EQ(r.status, 2);
}

// A name that would clear the screen and break the line is listed harmlessly, and the
// file it names is still the one chosen.
TEST_F(BrannockProgramTest, ControlCharactersInNamesAreNotSentToTheConsole) {
    touch("VCam-1_\033[2J\nx.bin");
    const Outcome r = run("1\n");
    EXPECT_EQ(r.out.substr(0, (kBanner + kDiscover).size() + 24),
              kBanner + kDiscover + "\t01) VCam-1_?[2J?x.bin\n\n");
    EXPECT_NE(r.out.find("Upload firmware -> VCam-1_?[2J?x.bin\nUpload 8 bytes to camera ...\n"), std::string::npos)
        << r.out;
}

// What the camera comes back as tells whether it took the image: a damaged image, one made
// for another model and a cable pulled while the camera flashes all leave it in its boot
// loader, which is a failed update, not "done".
TEST_F(BrannockProgramTest, CameraBackInItsBootLoaderIsAFailedUpdate) {
    configure("[camera]\nflash_time_ms = 300\nreboot_time_ms = 300\n");
    std::string corrupt = imageFor("VCam-1", "2.0.0");
    corrupt[500] = static_cast<char>(corrupt[500] ^ 0x40);
    struct Case {
        const char* what;
        std::string image;
        std::vector<std::string> env;
    };
    const Case cases[] = {
        {"damaged image", corrupt, {}},
        {"image for another model", imageFor("VCam-2", "2.0.0"), {}},
        {"cable pulled while flashing", imageFor("VCam-1", "2.0.0"),
         {std::string("LD_PRELOAD=") + VCAM_PROBE, "VCAM_PROBE_PULL_MS=1000"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root / "state");  // a camera that runs its first firmware again
        fs::create_directories(root / "state");
        touch("VCam-1_2.0.0.bin", c.image);
        const Outcome r = run("1\n\n", c.env);
        EXPECT_EQ(r.out, kBanner + kDiscover + kChoice + kProgress + kFlashing +
                             "The update failed: the camera came back in its boot loader (U3V_Bootloader Version "
                             "1.0.0) instead of VCam-1.\n");
        EXPECT_EQ(r.status, 5);
    }
}

// An empty file would have the camera flash nothing: nothing is written to it at all.
TEST_F(BrannockProgramTest, EmptyFileIsRefusedBeforeAnythingIsWritten) {
    touch("VCam-1_empty.bin", "");
    const fs::path commands = root / "commands.txt";
    const Outcome r = run("1\n\n", {std::string("LD_PRELOAD=") + VCAM_PROBE, "VCAM_PROBE_COMMANDS=" + commands.string()});
    EXPECT_EQ(r.out, kBanner + kDiscover + catalogue({"VCam-1_empty.bin"}) + kPrompt +
                         "Upload firmware -> VCam-1_empty.bin\nVCam-1_empty.bin is empty; nothing was sent to the camera.\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(windowWrites(commands).empty());
    EXPECT_FALSE(fs::exists(root / "state" / "VC0000000001.flash"));
}

// Numbers beyond the signed 32-bit range are no choice, whatever entry they would wrap to.
TEST_F(BrannockProgramTest, AnswersBeyondTheIntegerRangeChooseNothing) {
    touch("VCam-1_2.0.0.bin");
    touch("VCam-1_2.0.1.bin");
    const std::string offered = catalogue(listed(forVCam1));
    for (const char* answer : {"4294967297\n", "4294967301\n", "-4294967295\n", "2147483648\n"}) {
        SCOPED_TRACE(answer);
        const Outcome r = run(answer);
        EXPECT_EQ(r.out, kBanner + kDiscover + offered + kPrompt + kRejected);
        EXPECT_EQ(r.status, 1);
    }
}

// A start command whose answer was lost reached the camera all the same: the run warns,
// waits for the flash and the reboot, and reports what came back.
TEST_F(BrannockProgramTest, LostStartAnswerStillWaitsForTheFlash) {
    configure("[camera]\nflash_time_ms = 300\nreboot_time_ms = 300\ncontrol_faults = no_ack at 0x7EFFFFFC count 1\n");
    const std::string image = imageFor("VCam-1", "2.0.0");
    touch("VCam-1_2.0.0.bin", image);
    const Outcome r = run("1\n\n");
    const std::string expected =
        kBanner + kDiscover + kChoice + kProgress +
        "The camera did not confirm the start command; it may be writing its flash all the same.\n" + kFlashing +
        "back: VCam-1 Version 2.0.0 (before: VCam-1 Version 1.0.0)\n\nFirmware Upload done.\n\n";
    EXPECT_EQ(r.out.substr(0, expected.size()), expected) << r.out;
    EXPECT_EQ(r.status, 0);
    std::string padded = image;
    padded.resize(1164, '\0');
    EXPECT_EQ(readAll(root / "state" / "VC0000000001.flash"), padded);
}

TEST_F(BrannockProgramTest, SecondCameraIsNamedAndLeftAlone) {
    configure("[camera]\n[camera]\nguid = VC0000000002\nserial_number = 00000002\n");
    touch("VCam-1_2.0.0.bin");
    const Outcome r = run("2\n");
    EXPECT_EQ(r.out, kBanner + "discover: VCam-1 Version 1.0.0 Virtual USB3 Vision camera\n"
                               "This is camera VC0000000001 (serial number 00000001); 1 other camera is attached "
                               "and left alone.\n\n" +
                         catalogue({"VCam-1_2.0.0.bin"}) + kPrompt + kRejected);
    EXPECT_EQ(r.status, 1);
}

// Ctrl-C says in one line whether the camera was told to flash, then ends the run as an
// interrupted program ends.
TEST_F(BrannockProgramTest, InterruptSaysWhetherTheCameraWasToldToFlash) {
    configure("[camera]\nflash_time_ms = 5000\nreboot_time_ms = 300\n");
    touch("VCam-1_4M.bin", imageFor("VCam-1", "2.0.0", 4 << 20));
    struct Case {
        const char* when;
        std::string line;
    };
    const Case cases[] = {
        {"\rUploading 1% ", "\nInterrupted: the camera was not told to flash.\n"},
        {"[PLEASE DO NOT DISCONNECT THE DEVICE]\n",
         "\nInterrupted: the camera may be writing its flash; do not disconnect it until it has rebooted.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.when);
        bool sent = false;
        const Outcome r = run("1\n\n", {}, BRANNOCK_BINARY, [&](pid_t pid, const std::string& out) {
            if (!sent && out.find(c.when) != std::string::npos) sent = kill(pid, SIGINT) == 0;
        });
        ASSERT_TRUE(sent) << r.out;
        EXPECT_EQ(r.status, 128 + SIGINT) << r.out;
        ASSERT_GE(r.out.size(), c.line.size());
        EXPECT_EQ(r.out.substr(r.out.size() - c.line.size()), c.line) << r.out;
    }
}

}  // namespace
