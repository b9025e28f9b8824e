// Disk checks for the integration tests: Berkeley DB verification of a
// keystore environment, and a canary beside the keystore directory that
// shows nothing outside it was created, changed or removed.
#ifndef KYR_TESTS_KS_DISK_CHECK_H
#define KYR_TESTS_KS_DISK_CHECK_H

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace kyrdisk {

// The databases of the environment that db5.3_verify does not pass; empty
// when every one is sound.  Run only while no daemon has it open.
inline std::vector<std::string> unsound_dbs(const std::string &env)
{
    std::vector<std::string> bad;
    for (const char *db : {"user.db", "object.db", "auditlog.db", "auditlog.old.db"}) {
        std::string cmd = "db5.3_verify -q -h '" + env + "' '" + env + "/" + db + "'";
        if (system(cmd.c_str()) != 0)
            bad.push_back(db);
    }
    return bad;
}

// Name -> type, size, modification time and (regular files) contents of
// every entry of `dir` but `except`, read without following symlinks.
inline std::map<std::string, std::string> snapshot(const std::string &dir, const std::string &except)
{
    std::map<std::string, std::string> out;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return out;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || name == except)
            continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        std::ostringstream s;
        s << std::oct << st.st_mode << std::dec << " " << st.st_size << " " << st.st_mtim.tv_sec
          << "." << st.st_mtim.tv_nsec;
        if (S_ISREG(st.st_mode)) {
            std::ifstream in(path, std::ios::binary);
            s << " " << in.rdbuf();
        }
        out[name] = s.str();
    }
    closedir(d);
    return out;
}

// A file planted beside the keystore directory; the test compares the
// snapshot of the directory around it before and after.
inline void plant_canary(const std::string &dir)
{
    std::ofstream(dir + "/canary", std::ios::trunc) << "canary: must stay as it is\n";
}

}  // namespace kyrdisk

#endif  // KYR_TESTS_KS_DISK_CHECK_H
