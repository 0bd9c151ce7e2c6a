#include "bootdata/boot_record.h"
#include "bootdata/package_fit.h"
#include "bootdata/upgrade.h"
#include "verify/signify.h"
#include "scratch_dir.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string record = "../data//.bootchk";
const std::string package = "/tmp/.uci//ttupgrade.tgz";

struct ModeCase {
    const char* label;
    const char* content;   // nullptr: no file
    int mode;
    bool kept;
    const char* told = "";  // the deleted record's version, as the run file names it
};

// A gzip'd tar archive holding one file, made with the real tar.
void make_archive(const std::string& member, const std::string& content)
{
    std::string dir = "/tmp/pwarchive";
    ASSERT_EQ(std::system(("rm -rf " + dir + " && mkdir -p " + dir).c_str()), 0);
    write_file(dir + "/" + member, content);
    ASSERT_EQ(std::system(("tar czf " + package + " -C " + dir + " " + member).c_str()), 0);
}

} // namespace

TEST(BootRecord, Modes)
{
    const ModeCase cases[] = {
        {"no file", nullptr, 0, false},
        {"empty", "", 0, true},
        {"not JSON", "{\"version\":", 0, true},
        {"current with plugindata", R"({"version":"24.01.11.17","plugindata":1})", 1, true},
        {"current with luadata only", R"({"version":"24.01.11.17","luadata":1})", 0, true},
        {"outdated", R"({"version":"23.12.31.23","plugindata":1})", 0, false, "23.12.31.23"},
        {"outdated, a line end in its version", "{\"version\":\"1.1.1\\n: x\"}", 0, false, "1.1.1?: x"},
        {"newer", R"({"version":"25.0.0.0","plugindata":1})", 1, true},
        {"empty version", R"({"version":"","plugindata":1})", 0, false, "\"\""},
        {"numeric version", R"({"version":24,"plugindata":1})", 0, true},
        {"capital keys", R"({"VERSION":"24.01.11.17","PluginData":1})", 1, true},
        {"first plugindata rules", R"({"version":"24.01.11.17","plugindata":0,"plugindata":1})", 0, true},
        {"plugindata true", R"({"version":"24.01.11.17","plugindata":true})", 1, true},
        {"plugindata 1.5", R"({"version":"24.01.11.17","plugindata":1.5})", 1, true},
        {"plugindata string", R"({"version":"24.01.11.17","plugindata":"1"})", 0, true},
        {"plugindata 2", R"({"version":"24.01.11.17","plugindata":2})", 0, true},
        {"plugindata 0", R"({"version":"24.01.11.17","plugindata":0})", 0, true},
        {"top-level array", R"(["24.01.11.17",1])", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchPlugin plugin;
        if (c.content != nullptr)
            write_file(record, c.content);
        std::array<char, 32> told{};
        EXPECT_EQ(check_boot_record(-1, told.data(), told.size()), c.mode);
        EXPECT_STREQ(told.data(), c.told);
        EXPECT_EQ(file_exists(record), c.kept);
        if (c.kept) {
            EXPECT_EQ(read_file(record), c.content);
        }
    }
}

TEST(BootRecord, Clear)
{
    ScratchPlugin plugin;
    EXPECT_EQ(clear_boot_record(), 0);
    write_file(record, "not json");
    EXPECT_EQ(clear_boot_record(), 1);
    EXPECT_FALSE(file_exists(record));

    if (geteuid() != 0) {
        // Unreadable for the process: left alone.
        write_file(record, "{}");
        chmod(record.c_str(), 0);
        EXPECT_EQ(clear_boot_record(), 0);
        EXPECT_TRUE(file_exists(record));
        chmod(record.c_str(), 0644);
    }
    // Readable but not deletable (a directory in its place): reported as not
    // cleared, so a failed boot is not retried for ever.
    ASSERT_EQ(mkdir(record.c_str(), 0777), 0);
    EXPECT_EQ(clear_boot_record(), 0);
    EXPECT_TRUE(file_exists(record));
}

TEST(Upgrade, UnpackValidArchiveWithoutRecord)
{
    ScratchPlugin plugin;
    make_archive("worker", "#!/bin/sh\n");
    apply_upgrade_package(130, -1);
    EXPECT_EQ(read_file(record), R"({"version":"24.01.11.17","plugindata":1})");
    EXPECT_EQ(read_file("../data/worker"), "#!/bin/sh\n");
    EXPECT_FALSE(file_exists(package));
    EXPECT_FALSE(file_exists(record + ".tmp"));
    std::array<char, 32> told{};
    EXPECT_EQ(check_boot_record(-1, told.data(), told.size()), 1);
}

TEST(Upgrade, DamagedArchiveRecordsNoPlugindata)
{
    ScratchPlugin plugin;
    write_file(package, "this is not a gzip archive");
    apply_upgrade_package(130, -1);
    EXPECT_EQ(read_file(record), R"({"version":"24.01.11.17"})");
    EXPECT_FALSE(file_exists(package));
}

TEST(Upgrade, CopyToInitBin)
{
    for (size_t size : {size_t(0), size_t(1), size_t(1024), size_t(5000)}) {
        SCOPED_TRACE(size);
        ScratchPlugin plugin;
        std::string bytes;
        for (size_t i = 0; i < size; ++i)
            bytes.push_back(static_cast<char>(i * 7 + 3));
        write_file(package, bytes);
        // A second name for the old image: the new one must be renamed into
        // place, never written through the old file.
        write_file("../data/init.bin", "old image");
        ASSERT_EQ(link("../data/init.bin", "../data/old.bin"), 0);
        apply_upgrade_package(131, -1);
        EXPECT_EQ(read_file("../data/init.bin"), bytes);
        EXPECT_EQ(read_file("../data/old.bin"), "old image");
        EXPECT_FALSE(file_exists("../data/init.bin.tmp"));
        EXPECT_EQ(read_file(record), R"({"version":"24.01.11.17","luadata":1})");
        EXPECT_FALSE(file_exists(package));
    }
}

TEST(Upgrade, DropOnlyRecordsVersion)
{
    ScratchPlugin plugin;
    write_file(package, "whatever");
    apply_upgrade_package(132, -1);
    EXPECT_EQ(read_file(record), R"({"version":"24.01.11.17"})");
    EXPECT_FALSE(file_exists(package));
    EXPECT_FALSE(file_exists("../data/init.bin"));
}

TEST(Upgrade, NoPackageTouchesNothing)
{
    for (int code : {130, 131, 132}) {
        ScratchPlugin plugin;
        apply_upgrade_package(code, -1);
        EXPECT_FALSE(file_exists(record));
        write_file(record, R"({"version":"1.0"})");
        apply_upgrade_package(code, -1);
        EXPECT_EQ(read_file(record), R"({"version":"1.0"})");
    }
}

TEST(Upgrade, ExistingRecordsAreExtended)
{
    struct {
        const char* before;
        int code;
        const char* after;
    } cases[] = {
        {R"({"version":24})", 132, R"({"version":24,"version":"24.01.11.17"})"},
        {R"({"VERSION":"25.1"})", 132, R"({"VERSION":"25.1"})"},
        {R"({"version":"24.01.11.17","plugindata":0})", 130,
         R"({"version":"24.01.11.17","plugindata":0,"plugindata":1})"},
        {R"({"version":"24.01.11.17","plugindata":1})", 131,
         R"({"version":"24.01.11.17","plugindata":1,"luadata":1})"},
        // An unpack over the tree a record selects: the selection is taken
        // back before tar runs and given again after it succeeded.
        {R"({"plugindata":1,"version":"24.01.11.17","PluginData":1})", 130,
         R"({"version":"24.01.11.17","plugindata":1})"},
        {R"({"version":"24.01.11.17","plugindata":1})", -130, R"({"version":"24.01.11.17"})"},
        {"garbage", 132, R"({"version":"24.01.11.17"})"},
        // A record that is not an object can hold no keys: replaced.
        {"[1,2]", 132, R"({"version":"24.01.11.17"})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        ScratchPlugin plugin;
        write_file(record, c.before);
        if (c.code == 130)
            make_archive("w", "x");
        else
            write_file(package, "pkg"); // -130: a damaged archive
        apply_upgrade_package(c.code < 0 ? -c.code : c.code, -1);
        EXPECT_EQ(read_file(record), c.after);
    }
}

TEST(FileHelpers, CopyFile)
{
    ScratchPlugin plugin;
    std::string big(100000, 'x');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i % 251);
    write_file("src", big);
    EXPECT_EQ(copy_file("src", "dst"), 0);
    EXPECT_EQ(read_file("dst"), big);
    struct stat st;
    ASSERT_EQ(stat("dst", &st), 0);

    // The destination is created (or emptied) even when the source is missing.
    write_file("dst2", "old");
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_file("missing", "dst2"), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Failed to read or write, in, -1, out, ", 0), 0u) << out;
    EXPECT_EQ(read_file("dst2"), "");
}

TEST(FileHelpers, WriteWholeFileReplacesAtomically)
{
    ScratchPlugin plugin;
    write_file("f", "old content that is longer");
    EXPECT_EQ(write_whole_file("f", "new", 3), 0);
    EXPECT_EQ(read_file("f"), "new");
    EXPECT_FALSE(file_exists("f.tmp"));
    // Cannot write in a missing directory: the call fails, nothing is left.
    EXPECT_EQ(write_whole_file("nodir/f", "x", 1), -1);

    // The same for a copy: in place when it works, and when the source
    // cannot be read (a read error midway included) the old file stays
    // whole with no temporary file beside it.
    write_file("pkg", "new image");
    int pkg = open("pkg", O_RDONLY);
    EXPECT_EQ(install_copy(pkg, "f"), 0);
    close(pkg);
    EXPECT_EQ(read_file("f"), "new image");
    int dir = open(".", O_RDONLY | O_DIRECTORY);
    EXPECT_EQ(install_copy(dir, "f"), -1);
    close(dir);
    EXPECT_EQ(read_file("f"), "new image");
    EXPECT_FALSE(file_exists("f.tmp"));
}

TEST(Upgrade, OnlyRegularFilesOfOursArePackages)
{
    struct {
        mode_t mode;
        uid_t owner;
        const char* why; // nullptr: a package
        nlink_t links = 1;
    } cases[] = {
        {S_IFREG | 0600, 0, nullptr},
        {S_IFREG | 0644, 1000, nullptr}, // the files directory's owner
        {S_IFREG | 0755, 0, nullptr},
        {S_IFREG | 0666, 65534, "owned by uid 65534"},
        {S_IFREG | 0666, 0, "writable by others"},
        {S_IFREG | 0664, 1000, "writable by others"},
        {S_IFREG | 0644, 0, "more than one link", 2},
        {S_IFDIR | 0755, 0, "a directory"},
        {S_IFIFO | 0666, 0, "a FIFO"},
        {S_IFSOCK | 0777, 0, "a socket"},
        {S_IFCHR | 0666, 0, "a device"},
        {S_IFBLK | 0660, 0, "a device"},
        {S_IFLNK | 0777, 0, "a symbolic link"},
    };
    for (const auto& c : cases) {
        struct stat st {};
        st.st_mode = c.mode;
        st.st_uid = c.owner;
        st.st_nlink = c.links;
        char why[64] = "";
        EXPECT_EQ(package_refusal(st, 0, 1000, why, sizeof why), c.why == nullptr ? 0 : 1) << c.mode;
        EXPECT_STREQ(why, c.why == nullptr ? "" : c.why);
    }
}

TEST(Upgrade, APackageAtTheSharedNameMustFitOurWorkers)
{
    const char* workers[] = {"agent", "helper"};
    // Listing lines as GNU tar and BusyBox tar print them.
    const char* ours = "-rwxr-xr-x root/root       120 2026-12-08 23:41 ./agent";
    const char* helper = "-rwxr-xr-x root/root       120 2026-12-08 23:41:07 helper";
    const char* theirs = "-rwxr--r-- root/root       120 2026-12-08 23:41 ./poller";
    const char* data = "-rw-r--r-- root/root      4096 2026-12-08 23:41 ./table.bin";
    const char* deeper = "-rwxr-xr-x root/root       120 2026-12-08 23:41 ./lib/tool";
    const char* folder = "drwxr-xr-x root/root         0 2026-12-08 23:41 ./lib/";
    struct {
        std::vector<const char*> lines;
        unsigned in_data;
        const char* why; // nullptr: fits
    } cases[] = {
        {{ours, helper, data, deeper, folder}, 0, nullptr},
        {{data, folder, deeper}, 0, nullptr},                  // no programs at all
        {{ours}, 2, nullptr},                                  // helper is in data/ already
        {{ours}, 0, "not for this plug-in (lacks helper)"},
        {{ours, helper, theirs}, 0, "not for this plug-in (carries poller)"},
        {{theirs}, 3, "not for this plug-in (carries poller)"},
    };
    for (const auto& c : cases) {
        PackageFit fit;
        fit.workers = workers;
        fit.count = 2;
        for (const char* line : c.lines)
            note_package_member(&fit, line);
        char why[160] = "";
        EXPECT_EQ(package_fits(fit, c.in_data, why, sizeof why), c.why == nullptr) << c.lines.size();
        EXPECT_STREQ(why, c.why == nullptr ? "" : c.why);
    }
}

TEST(Signify, KeyAndSignatureFiles)
{
    // A public key as signify writes it: "Ed", key number, 32 key bytes.
    const char* key = "untrusted comment: test key public key\n"
                      "RWSr4k4T41HpqkcDWaCdulIH/CZ80IFEQBk5i26hY2/wZeESoObpVaPK\n";
    struct Case {
        const char* label;
        std::string text;
        bool ok;
    } cases[] = {
        {"as written", key, true},
        {"no last line end", std::string(key, std::strlen(key) - 1), true},
        {"another comment", std::string("untrusted comment: x\n") + (std::strchr(key, '\n') + 1), true},
        {"no comment line", std::strchr(key, '\n') + 1, false},
        {"a third line", std::string(key) + "more\n", false},
        {"a signature where a key belongs",
         "untrusted comment: s\nRWSr4k4T41HpqrrRInudnO94ZZGX24LExfui7qp9iJuDeLyHF8QpQ0csT37JWMSHXJAs80rM06PqIFqItzpcayy6"
         "k0i7xNF/XQk=\n",
         false},
        {"not base64", "untrusted comment: x\n!!!!\n", false},
        {"not Ed25519", "untrusted comment: x\nQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFB\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::array<uint8_t, SIGNIFY_PUBLIC_KEY_SIZE> out{};
        EXPECT_EQ(decode_signify(c.text.data(), c.text.size(), out.data(), out.size()), c.ok);
    }
}
