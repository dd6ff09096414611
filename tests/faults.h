// Fault injection for the program-level tests: a program run under a
// file-size limit, small and read-only file systems made for one case, cut
// copies of input files, and the record of every checked case.
//
// When RELIABILITY_LOG names a file, every checked case appends one line
//   test <TAB> program <TAB> file <TAB> fault <TAB> status <TAB> message <TAB> note
// to it; tests/reliability.sh turns those lines into tests/RELIABILITY.md.
// The message is the reason of the program's one-line failure message with
// the file name taken out and numbers written N, so that alike cases fall
// together.
#pragma once
#include <cctype>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include "testutil.h"

namespace faults {

using namespace testutil;

// The process runner with its options (run_options, run_with) is the one of
// testutil.h.

// ---- the record ----------------------------------------------------------

// The reason of a failure message "<program>: <file>: <reason>": the
// program's name stays when it is not the one run (a stage of the driver),
// the file goes, digits become N.
inline std::string message_kind(const std::string &program, const std::string &err)
{
    std::string line = err.substr(0, err.find('\n'));
    if (line.empty())
        return "-";
    std::string who;
    size_t colon = line.find(": ");
    if (colon != std::string::npos) {
        who = line.substr(0, colon);
        line = line.substr(colon + 2);
    }
    colon = line.find(": ");
    if (colon != std::string::npos) {
        std::string file = line.substr(0, colon);
        if (file.find('/') != std::string::npos || file.rfind("standard ", 0) == 0 ||
            file == "-")
            line = line.substr(colon + 2);
    }
    std::string kind;
    for (size_t k = 0; k < line.size(); ++k) {
        if (isdigit(static_cast<unsigned char>(line[k]))) {
            kind += 'N';
            while (k + 1 < line.size() && isdigit(static_cast<unsigned char>(line[k + 1])))
                ++k;
        } else {
            kind += line[k] == '\t' ? ' ' : line[k];
        }
    }
    if (!who.empty() && who != program)
        kind = who + ": " + kind;
    return kind;
}

inline std::string tsv_field(std::string s)
{
    for (char &c : s)
        if (c == '\t' || c == '\n')
            c = ' ';
    return s.empty() ? "-" : s;
}

// Appends the case to RELIABILITY_LOG when it is set.
inline void record(const std::string &program, const std::string &file, const std::string &fault,
                   const result &r, const std::string &note = "")
{
    const char *log = getenv("RELIABILITY_LOG");
    if (log == nullptr || *log == '\0')
        return;
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string test = std::string(info->test_suite_name()) + "." + info->name();
    std::string line = tsv_field(test) + "\t" + tsv_field(program) + "\t" + tsv_field(file) +
                       "\t" + tsv_field(fault) + "\t" + std::to_string(r.status) + "\t" +
                       tsv_field(r.status == 0 ? "-" : message_kind(program, r.err)) + "\t" +
                       tsv_field(note) + "\n";
    std::ofstream out(log, std::ios::app);
    out << line;
}

// The checks of a run that must fail: status 2 and one line on standard
// error, "<from>: " first (from: the program itself, or the stage of the
// driver that failed) and reason (when given) in it.  The case is recorded
// either way.
inline void expect_failure(const result &r, const std::string &program, const std::string &file,
                           const std::string &fault, const std::string &reason = "",
                           std::string from = "")
{
    if (from.empty())
        from = program;
    record(program, file, fault, r);
    EXPECT_EQ(r.status, 2) << program << ", " << fault << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << program << ", " << fault
                                                                << ": " << r.err;
    EXPECT_EQ(r.err.rfind(from + ": ", 0), 0u) << program << ", " << fault << ": " << r.err;
    if (!reason.empty()) {
        EXPECT_NE(r.err.find(reason), std::string::npos)
            << program << ", " << fault << ": expected \"" << reason << "\" in " << r.err;
    }
}

// The file a failure message names: the text between the first two ": ".
inline std::string named_file(const std::string &err)
{
    size_t a = err.find(": ");
    if (a == std::string::npos)
        return "";
    size_t b = err.find(": ", a + 2);
    return b == std::string::npos ? "" : err.substr(a + 2, b - a - 2);
}

// ---- file systems made for one case --------------------------------------

// Mounts made by the tests live in a mount namespace of the test process of
// their own, made private: nobody else sees them, and they go when the test
// process ends, even when it dies.
inline bool private_mount_namespace()
{
    static int state = -1;
    if (state < 0)
        state = unshare(CLONE_NEWNS) == 0 &&
                mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return state == 1;
}

// A tmpfs of the given size mounted on dir for the life of the object.
// Without a private namespace the mount is made in the shared one (and
// still undone by the destructor).
struct scratch_fs {
    std::string dir;
    bool mounted = false;
    std::string why;   // when not mounted

    scratch_fs(const std::string &where, size_t bytes) : dir(where)
    {
        if (geteuid() != 0) {
            why = "mounting a file system needs root";
            return;
        }
        private_mount_namespace();
        fs::create_directories(dir);
        std::string opts = "size=" + std::to_string(bytes) + ",mode=0755";
        if (mount("tmpfs", dir.c_str(), "tmpfs", 0, opts.c_str()) != 0) {
            why = std::string("mount -t tmpfs failed: ") + strerror(errno);
            return;
        }
        mounted = true;
    }
    scratch_fs(const scratch_fs &) = delete;
    scratch_fs &operator=(const scratch_fs &) = delete;

    // Makes the file system read-only, its files kept.
    bool remount_read_only()
    {
        if (mount("tmpfs", dir.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            why = std::string("mount -o remount,ro failed: ") + strerror(errno);
            return false;
        }
        return true;
    }

    // Fills the file system up to room bytes of free space.
    void fill(uint64_t room = 0)
    {
        struct statvfs st;
        ASSERT_EQ(statvfs(dir.c_str(), &st), 0);
        uint64_t avail = uint64_t(st.f_bavail) * st.f_frsize;
        ASSERT_GE(avail, room);
        int fd = open((dir + "/.filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        std::string block(65536, 'f');
        uint64_t left = avail - room;
        while (left > 0) {
            size_t want = left < block.size() ? size_t(left) : block.size();
            ssize_t put = write(fd, block.data(), want);
            if (put <= 0)
                break;
            left -= uint64_t(put);
        }
        close(fd);
        ASSERT_EQ(statvfs(dir.c_str(), &st), 0);
        ASSERT_LE(uint64_t(st.f_bavail) * st.f_frsize, room);
    }

    ~scratch_fs()
    {
        if (mounted)
            umount2(dir.c_str(), MNT_DETACH);
    }
};

// ---- cut inputs ----------------------------------------------------------

// Lengths to cut a file of size bytes of fixed records to: every record
// boundary below the size, and a cut inside each record.
inline std::vector<size_t> cuts(size_t size, size_t record)
{
    std::vector<size_t> at;
    for (size_t k = 0; k < size; k += record) {
        at.push_back(k);
        if (record > 1)
            at.push_back(k + record / 2);
    }
    return at;
}

inline void copy_files(const std::string &from, const std::string &to,
                       const std::vector<std::string> &names)
{
    for (const auto &name : names)
        fs::copy_file(from + "/" + name, to + "/" + name, fs::copy_options::overwrite_existing);
}

} // namespace faults
