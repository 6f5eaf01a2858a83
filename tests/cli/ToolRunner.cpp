#include "ToolRunner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

extern char** environ;

namespace tooltest {

namespace fs = std::filesystem;

std::string iniOf(const std::vector<vcam::CameraConfig>& cameras) {
    std::string ini;
    for (const vcam::CameraConfig& c : cameras) {
        const vcam::Identity& id = c.identity;
        ini += "[camera]\n";
        ini += "guid = \"" + id.guid + "\"\n";
        ini += "vendor = \"" + id.vendor + "\"\n";
        ini += "model = \"" + id.model + "\"\n";
        ini += "family = \"" + id.family + "\"\n";
        ini += "device_version = \"" + id.deviceVersion + "\"\n";
        ini += "manufacturer_info = \"" + id.manufacturerInfo + "\"\n";
        ini += "serial_number = \"" + id.serialNumber + "\"\n";
        ini += "user_defined_name = \"" + id.userDefinedName + "\"\n";
        ini += std::string("zipped_description = ") + (c.zippedDescription ? "true" : "false") + "\n";
    }
    return ini;
}

Scratch::Scratch() {
    char pattern[] = "/tmp/u3v-tool-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) throw std::runtime_error("no scratch directory");
    dir_ = made;
}

Scratch::~Scratch() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary);
    out << data;
}

namespace {

Outcome spawn(const std::string& tool, const std::vector<std::string>& args, const std::string* ini,
              const std::string& stdoutPath = {}, const std::vector<std::string>& extraEnv = {}) {
    Scratch scratch;
    const fs::path errPath = scratch / "err", config = scratch / "world.ini";
    const fs::path outPath = stdoutPath.empty() ? scratch / "out" : fs::path(stdoutPath);

    // The run's own settings replace what this process has.
    std::vector<std::string> own{"VCAM_CONFIG=", "LD_LIBRARY_PATH=", "LD_PRELOAD="};
    for (const std::string& e : extraEnv) own.push_back(e.substr(0, e.find('=') + 1));
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        bool replaced = false;
        for (const std::string& key : own) replaced = replaced || std::strncmp(*e, key.c_str(), key.size()) == 0;
        if (!replaced) env.emplace_back(*e);
    }
    env.push_back(std::string("LD_LIBRARY_PATH=") + VCAM_LIBRARY_DIR);
    if (ini != nullptr) {
        writeFile(config, *ini);
        env.push_back("VCAM_CONFIG=" + config.string());
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    const std::string path = std::string(TOOL_BIN_DIR) + "/" + tool;
    std::vector<std::string> argStrings{path};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    Outcome result;
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << path << ": " << std::strerror(spawned);
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << tool << " ran longer than a minute";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (stdoutPath.empty()) result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

}  // namespace

Outcome run(const std::string& tool, const std::vector<std::string>& args, const std::vector<vcam::CameraConfig>& cameras) {
    if (cameras.empty()) return spawn(tool, args, nullptr);
    const std::string ini = iniOf(cameras);
    return spawn(tool, args, &ini);
}

Outcome runWithIni(const std::string& tool, const std::vector<std::string>& args, const std::string& ini) {
    return spawn(tool, args, &ini);
}

Outcome launch(const std::string& tool, const std::vector<std::string>& args, const Launch& how) {
    return spawn(tool, args, how.ini.empty() ? nullptr : &how.ini, how.stdoutPath, how.env);
}

std::vector<std::string> unplugAfterImages(int images) {
    // In sanitizer builds the preloaded probe comes before the sanitizer's runtime.
    return {std::string("LD_PRELOAD=") + VCAM_STREAM_PROBE, "VCAM_PROBE_UNPLUG_AFTER_IMAGES=" + std::to_string(images),
            "ASAN_OPTIONS=verify_asan_link_order=0"};
}

vcam::CameraConfig camera(int n, bool zipped) {
    vcam::CameraConfig c;
    char text[32];
    std::snprintf(text, sizeof text, "TT%010d", n);
    c.identity.guid = text;
    std::snprintf(text, sizeof text, "SN-%05d", n);
    c.identity.serialNumber = text;
    c.identity.vendor = "Acme & <Optics>";
    c.identity.model = "Model-" + std::to_string(n);
    c.identity.family = "Family " + std::to_string(n);
    c.identity.deviceVersion = "2." + std::to_string(n);
    c.identity.manufacturerInfo = "Made for tests";
    c.identity.userDefinedName = "camera " + std::to_string(n);
    c.zippedDescription = zipped;
    return c;
}

std::vector<int> buildWorld(const std::vector<vcam::CameraConfig>& cameras) {
    vcam::reset();
    std::vector<int> ids;
    for (const vcam::CameraConfig& c : cameras) ids.push_back(vcam::addCamera(c));
    return ids;
}

namespace {
uint64_t le(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= uint64_t{p[i]} << (8 * i);
    return v;
}
}  // namespace

uint32_t peek32(int id, uint64_t address) {
    uint8_t b[4] = {};
    EXPECT_TRUE(vcam::peek(id, address, b, 4));
    return static_cast<uint32_t>(le(b, 4));
}

std::string storedDescription(int id) {
    uint8_t pointer[8] = {}, entry[72] = {};
    EXPECT_TRUE(vcam::peek(id, 0x01D0, pointer, 8));
    EXPECT_TRUE(vcam::peek(id, le(pointer, 8), entry, 72));
    std::string file(le(entry + 24, 8), '\0');
    EXPECT_TRUE(vcam::peek(id, le(entry + 16, 8), file.data(), file.size()));
    return file;
}

std::string unzipSingleMember(const std::string& bytes) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
    zip_t* archive = source ? zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error) : nullptr;
    zip_error_fini(&error);
    if (archive == nullptr) {
        if (source) zip_source_free(source);
        ADD_FAILURE() << "not a valid zip archive";
        return {};
    }
    std::string member;
    EXPECT_EQ(zip_get_num_entries(archive, 0), 1);
    zip_stat_t st;
    if (zip_stat_index(archive, 0, 0, &st) == 0) {
        member.resize(st.size);
        zip_file_t* f = zip_fopen_index(archive, 0, 0);
        EXPECT_NE(f, nullptr);
        if (f) {
            EXPECT_EQ(zip_fread(f, member.data(), member.size()), static_cast<zip_int64_t>(member.size()));
            zip_fclose(f);
        }
    }
    zip_discard(archive);  // also frees the source
    return member;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

}  // namespace tooltest
