// make-wtmp: writes a wtmp file from a plain text list of boots and shutdowns,
// so that the host's own `last` can be run against a history of our choosing.
//
//   make-wtmp LIST WTMP
//
// Each line of LIST is "boot" or "shutdown", a UTC time as YYYY-MM-DD HH:MM:SS
// and a kernel release, in the order the records are to be written:
//
//   boot     2025-01-05 08:00:00 6.1.0-18-amd64
//   shutdown 2025-01-20 09:15:30 6.1.0-18-amd64
//
// Blank lines and lines starting with '#' are skipped. WTMP is created anew.
#include <utmpx.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

namespace {

constexpr int expected_arguments = 3;
constexpr int fields_per_record = 8;
constexpr int first_year = 1900;
constexpr std::size_t line_capacity = 512;
constexpr std::string_view boot_word = "boot";
constexpr std::string_view shutdown_word = "shutdown";
// `last` knows boots and shutdowns by these pseudo-user names on line "~".
constexpr const char* boot_user = "reboot";
constexpr const char* shutdown_user = "shutdown";
constexpr const char* pseudo_line = "~";
constexpr const char* pseudo_id = "~~";
constexpr const char* usage = "usage: make-wtmp LIST WTMP\n";

template <std::size_t N>
void copy_field(char (&field)[N], const char* text) {
    std::strncpy(field, text, N);  // utmp fields need not be NUL-terminated
}

void write_record(const char* wtmp, std::string_view kind, const std::tm& when,
                  const char* release) {
    std::tm time = when;
    utmpx record{};
    record.ut_type = kind == boot_word ? BOOT_TIME : RUN_LVL;
    copy_field(record.ut_user, kind == boot_word ? boot_user : shutdown_user);
    copy_field(record.ut_line, pseudo_line);
    copy_field(record.ut_id, pseudo_id);
    copy_field(record.ut_host, release);
    record.ut_tv.tv_sec = static_cast<decltype(record.ut_tv.tv_sec)>(timegm(&time));
    updwtmpx(wtmp, &record);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != expected_arguments) {
        std::fputs(usage, stderr);
        return 2;
    }
    std::FILE* list = std::fopen(argv[1], "r");
    if (list == nullptr) {
        std::fprintf(stderr, "make-wtmp: cannot read %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    // updwtmpx() appends to an existing file only.
    std::FILE* created = std::fopen(argv[2], "w");
    if (created == nullptr) {
        std::fprintf(stderr, "make-wtmp: cannot create %s: %s\n", argv[2], std::strerror(errno));
        return 1;
    }
    std::fclose(created);

    char line[line_capacity];
    int line_number = 0;
    while (std::fgets(line, sizeof line, list) != nullptr) {
        ++line_number;
        if (line[0] == '#' || line[std::strspn(line, " \t\r\n")] == '\0') {
            continue;
        }
        char kind[16];
        char release[65];
        std::tm when{};
        const int read =
            std::sscanf(line, "%15s %d-%d-%d %d:%d:%d %64s", kind, &when.tm_year, &when.tm_mon,
                        &when.tm_mday, &when.tm_hour, &when.tm_min, &when.tm_sec, release);
        if (read != fields_per_record || (kind != boot_word && kind != shutdown_word)) {
            std::fprintf(stderr,
                         "make-wtmp: %s:%d: expected boot|shutdown YYYY-MM-DD HH:MM:SS RELEASE\n",
                         argv[1], line_number);
            return 1;
        }
        when.tm_year -= first_year;
        when.tm_mon -= 1;
        write_record(argv[2], kind, when, release);
    }
    std::fclose(list);
    return 0;
}
