#include "core/memory.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

double physical_memory()
{
    long pages = sysconf(_SC_PHYS_PAGES);
    long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return 0.0;
    return static_cast<double>(pages) * static_cast<double>(page_size);
}

namespace {

bool read_text(std::string const& path, std::string& text)
{
    std::ifstream in(path);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return true;
}

// The number after "key" at the start of a line of "key value" lines; false when there is none.
bool keyed_number(std::string const& text, std::string const& key, double& value)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, key.size(), key) != 0 || line.size() == key.size()) continue;
        char after = line[key.size()];
        if (after != ' ' && after != '\t' && after != ':') continue;
        char* end = nullptr;
        value = std::strtod(line.c_str() + key.size() + (after == ':'), &end);
        return end != line.c_str() + key.size() + (after == ':');
    }
    return false;
}

// A file that holds one number, or "max" (v2) or a value of 2^62 and more (v1) for no limit.
bool limit_in(std::string const& path, double& value)
{
    std::string text;
    if (!read_text(path, text)) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end != text.c_str() && value < 4611686018427387904.0;
}

struct group_mount {
    std::string point;  // where the hierarchy is mounted
    std::string root;   // which of its groups is mounted there
};

// First mount of a cgroup v2 hierarchy (v1 false) or of a v1 hierarchy with the memory controller.
bool find_mount(std::string const& mountinfo, bool v1, group_mount& m)
{
    std::istringstream lines(mountinfo);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;) f.push_back(w);
        std::size_t dash = 6;
        while (dash < f.size() && f[dash] != "-") ++dash;
        if (dash + 3 >= f.size()) continue;
        if (!v1 && f[dash + 1] != "cgroup2") continue;
        if (v1) {
            if (f[dash + 1] != "cgroup") continue;
            std::string opts = "," + f[dash + 3] + ",";
            if (opts.find(",memory,") == std::string::npos) continue;
        }
        m.root = f[3];
        m.point = f[4];
        return true;
    }
    return false;
}

// The process's group in a hierarchy: the v2 line "0::path", or the v1 line that names memory.
bool find_group(std::string const& cgroup, bool v1, std::string& path)
{
    std::istringstream lines(cgroup);
    std::string line;
    while (std::getline(lines, line)) {
        std::size_t a = line.find(':');
        std::size_t b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        std::string controllers = "," + line.substr(a + 1, b - a - 1) + ",";
        bool match = v1 ? controllers.find(",memory,") != std::string::npos
                        : line.compare(0, b + 1, "0::") == 0;
        if (match) {
            path = line.substr(b + 1);
            return true;
        }
    }
    return false;
}

// The smallest headroom under the memory limits of the process's group and its ancestors up to
// the mounted one, in one hierarchy; false when no level has a limit.
bool group_headroom(std::string const& root, bool v1, double& headroom, std::string& group)
{
    std::string cgroup, mountinfo, path;
    group_mount m;
    if (!read_text(root + "/proc/self/cgroup", cgroup) ||
        !read_text(root + "/proc/self/mountinfo", mountinfo) || !find_group(cgroup, v1, path) ||
        !find_mount(mountinfo, v1, m))
        return false;
    if (m.root != "/") {
        if (path.compare(0, m.root.size(), m.root) != 0) return false;
        path = path.substr(m.root.size());
    }
    while (!path.empty() && path.back() == '/') path.pop_back();
    char const* limit_file = v1 ? "/memory.limit_in_bytes" : "/memory.max";
    char const* usage_file = v1 ? "/memory.usage_in_bytes" : "/memory.current";
    char const* inactive = v1 ? "total_inactive_file" : "inactive_file";
    bool found = false;
    for (;;) {
        const std::string dir = root + m.point + path;
        double limit = 0, usage = 0, cache = 0;
        std::string stat;
        if (limit_in(dir + limit_file, limit) && limit_in(dir + usage_file, usage)) {
            if (read_text(dir + "/memory.stat", stat) && keyed_number(stat, inactive, cache) &&
                cache < usage)
                usage -= cache;
            double free = limit > usage ? limit - usage : 0.0;
            if (!found || free < headroom) {
                headroom = free;
                group = path.empty() ? "/" : path;
            }
            found = true;
        }
        if (path.empty()) break;
        path.erase(path.rfind('/'));
    }
    return found;
}

}  // namespace

memory_bound available_memory(std::string const& root)
{
    char amount[64];
    memory_bound m{0.0, ""};
    std::string meminfo;
    double kib = 0;
    if (read_text(root + "/proc/meminfo", meminfo) && keyed_number(meminfo, "MemAvailable", kib)) {
        m.bytes = kib * 1024.0;
        print_bytes(m.bytes, amount, sizeof amount);
        m.what = std::string(amount) + " is available now (MemAvailable in /proc/meminfo)";
    }
    for (bool v1 : {false, true}) {
        double headroom = 0;
        std::string group;
        if (group_headroom(root, v1, headroom, group) && (m.what.empty() || headroom < m.bytes)) {
            m.bytes = headroom;
            print_bytes(m.bytes, amount, sizeof amount);
            m.what = std::string(amount) + " is left under the memory limit of control group " +
                     group;
        }
    }
    if (m.what.empty() && physical_memory() > 0) {
        m.bytes = physical_memory();
        print_bytes(m.bytes, amount, sizeof amount);
        m.what = "this machine has " + std::string(amount) + " of physical memory";
    }
    return m;
}

void print_bytes(double bytes, char* buffer, std::size_t size)
{
    const double mib = 1024.0 * 1024.0;
    if (bytes >= 1024.0 * mib)
        std::snprintf(buffer, size, "%.1f GiB", bytes / (1024.0 * mib));
    else
        std::snprintf(buffer, size, "%.1f MiB", bytes / mib);
}

void out_of_memory(double bytes)
{
    char amount[64];
    print_bytes(bytes, amount, sizeof amount);
    std::cout << std::flush;
    std::cerr << "error: out of memory: " << amount << " more could not be allocated\n";
    std::exit(1);
}
