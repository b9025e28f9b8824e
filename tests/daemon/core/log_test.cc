// Logging: level mask, line format, message length cut, log file handling.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cctype>
#include <sstream>
#include <string>

#include "core_fixture.h"

using kyrtest::CoreTest;
using kyrtest::count_of;

namespace {

class LogTest : public CoreTest {};

bool digits(const std::string &s, size_t pos, size_t n)
{
    if (pos + n > s.size())
        return false;
    for (size_t i = pos; i < pos + n; i++)
        if (!isdigit(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

// "Mon DD HH:MM:SS [digits/digits]: " then the rest.
bool well_formed(const std::string &line)
{
    if (line.size() < 20 || !isupper(static_cast<unsigned char>(line[0])) ||
        !islower(static_cast<unsigned char>(line[1])) || !islower(static_cast<unsigned char>(line[2])))
        return false;
    if (line[3] != ' ' || !digits(line, 4, 2) || line[6] != ' ' || !digits(line, 7, 2) ||
        line[9] != ':' || !digits(line, 10, 2) || line[12] != ':' || !digits(line, 13, 2) ||
        line.compare(15, 2, " [") != 0)
        return false;
    size_t pos = 17, n = 0;
    while (digits(line, pos + n, 1))
        n++;
    if (n == 0 || pos + n >= line.size() || line[pos + n] != '/')
        return false;
    pos += n + 1;
    n = 0;
    while (digits(line, pos + n, 1))
        n++;
    return n > 0 && line.compare(pos + n, 3, "]: ") == 0;
}

TEST_F(LogTest, InitMaskDropsLevelsAboveNotice)
{
    qelkiod_log_init("/some/dir/kyrkiod", 5);
    EXPECT_EQ(logmask, 0x3f);
    qelkiod_log(LOG_DEBUG, "dbg-message");
    qelkiod_log(LOG_INFO, "info-message");
    qelkiod_log(LOG_NOTICE, "notice-message");
    qelkiod_log(LOG_WARNING, "warn-message");
    qelkiod_log(LOG_ERR, "err-message");
    std::string l = log();
    EXPECT_EQ(l.find("dbg-message"), std::string::npos);
    EXPECT_EQ(l.find("info-message"), std::string::npos);
    EXPECT_NE(l.find("[notice] notice-message"), std::string::npos);
    EXPECT_NE(l.find("[warning] warn-message"), std::string::npos);
    EXPECT_NE(l.find("[ERROR] err-message"), std::string::npos);

    qelkiod_log_init("kyrkiod", 7);
    EXPECT_EQ(logmask, 0xff);
    qelkiod_log_init("kyrkiod", -1);
    EXPECT_EQ(logmask & ~0xff, 0) << "a negative level keeps the mask";
}

TEST_F(LogTest, SetLevel)
{
    qelkiod_set_loglvl(6);
    EXPECT_EQ(logmask, 0x7f);
    qelkiod_set_loglvl(0);
    EXPECT_EQ(logmask, 0x7f) << "level 0 leaves the mask alone";
    qelkiod_set_loglvl(7);
    EXPECT_EQ(logmask, 0xff);
    qelkiod_log(LOG_DEBUG, "now-visible");
    EXPECT_TRUE(logged("[debug] now-visible"));
}

TEST_F(LogTest, LineFormatAndTags)
{
    for (int level = 0; level <= 7; level++)
        qelkiod_log(level, "level %d text", level);
    std::string l = log();
    const char *tags[] = {"[EMERGENCY!!]", "[ALERT!]", "[CRITICAL]", "[ERROR]",
                          "[warning]",     "[notice]", "[info]",     "[debug]"};
    std::string pid = std::to_string(getpid());
    std::string tid = std::to_string(static_cast<unsigned long>(pthread_self()));
    for (int level = 0; level <= 7; level++) {
        std::string tail = std::string("]: ") + tags[level] + " level " + std::to_string(level) + " text\n";
        EXPECT_NE(l.find("[" + pid + "/" + tid + tail), std::string::npos) << tail;
    }
    // "Mon DD HH:MM:SS [pid/tid]: tag text", one line per message.
    std::istringstream in(l);
    std::string one;
    int lines = 0;
    while (std::getline(in, one)) {
        EXPECT_TRUE(well_formed(one)) << one;
        lines++;
    }
    EXPECT_EQ(lines, 8);
}

TEST_F(LogTest, FormatCharactersInArgumentsAreData)
{
    qelkiod_log(LOG_ERR, "%s", "100%s %n %x");
    EXPECT_TRUE(logged("[ERROR] 100%s %n %x\n"));
}

// A name from the firmware with a newline in it stays in its own line: no
// message passes for a second, forged one.
TEST_F(LogTest, ControlCharactersInArgumentsStayInTheirLine)
{
    qelkiod_log(LOG_ERR, "Invalid keystore name \"%s\"", "x\nDec 09 08:00:00 [1/1]: [ERROR] forged\r\x1b[2J");
    std::string l = log();
    EXPECT_EQ(count_of(l, "\n"), 1u) << l;
    EXPECT_TRUE(logged("[ERROR] Invalid keystore name \"x?Dec 09 08:00:00 [1/1]: [ERROR] forged??[2J\"\n"))
        << l;
}

TEST_F(LogTest, LongMessageCutAt4095)
{
    std::string big(5000, 'm');
    qelkiod_log(LOG_ERR, "%s", big.c_str());
    std::string l = log();
    EXPECT_EQ(count_of(l, "m"), 4095u);
    EXPECT_NE(l.find(std::string(4095, 'm') + "\n"), std::string::npos);
}

TEST_F(LogTest, OtherThreadsLogWholeLines)
{
    auto worker = [](void *) -> void * {
        for (int i = 0; i < 200; i++)
            qelkiod_log(LOG_NOTICE, "worker line %d", i);
        return nullptr;
    };
    pthread_t t[4];
    for (auto &th : t)
        ASSERT_EQ(pthread_create(&th, nullptr, worker, nullptr), 0);
    for (auto &th : t)
        pthread_join(th, nullptr);
    std::string l = log();
    EXPECT_EQ(count_of(l, "\n"), 800u);
    EXPECT_EQ(count_of(l, "[notice] worker line 199\n"), 4u);
}

TEST_F(LogTest, ForegroundUsesStandardErrorAndKeepsIt)
{
    qelkiod_close_logfile();
    mconf.foreground = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(qelkiod_set_logfile(), 0);
    qelkiod_log(LOG_WARNING, "to-stderr");
    qelkiod_close_logfile();
    qelkiod_log(LOG_WARNING, "still-stderr");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[warning] to-stderr\n"), std::string::npos) << err;
    EXPECT_NE(err.find("[warning] still-stderr\n"), std::string::npos) << err;
    EXPECT_NE(fcntl(2, F_GETFD), -1) << "standard error stays open";
    mconf.foreground = 0;
}

TEST_F(LogTest, LogFileOpenFailureAndNone)
{
    qelkiod_close_logfile();
    mconf.logfile = strdup((dir_ + "/no/such/dir/log").c_str());
    EXPECT_EQ(qelkiod_set_logfile(), ENOENT);
    qelkiod_log(LOG_ERR, "goes nowhere");  // must not crash

    free(mconf.logfile);
    mconf.logfile = nullptr;
    EXPECT_EQ(qelkiod_set_logfile(), 0);
    qelkiod_log(LOG_ERR, "goes nowhere either");
    EXPECT_EQ(log().find("goes nowhere"), std::string::npos);
}

}  // namespace
