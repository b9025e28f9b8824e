// The lines a test's own fixed shell command writes, for comparing
// directory listings and archive member lists.
#ifndef KYR_TEST_CMD_LINES_H
#define KYR_TEST_CMD_LINES_H

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

// The command's output lines without their newlines, sorted; none when it
// cannot be run.
inline std::vector<std::string> sorted_output_lines(const std::string &cmd)
{
    std::vector<std::string> v;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return v;
    char line[4096];
    while (fgets(line, sizeof(line), p) != nullptr) {
        std::string s(line);
        if (!s.empty() && s.back() == '\n')
            s.pop_back();
        v.push_back(s);
    }
    pclose(p);
    std::sort(v.begin(), v.end());
    return v;
}

// The member names of a tar archive, sorted.
inline std::vector<std::string> tar_members(const std::string &archive)
{
    std::string quoted;
    for (char c : archive)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return sorted_output_lines("tar tf '" + quoted + "'");
}

#endif  // KYR_TEST_CMD_LINES_H
