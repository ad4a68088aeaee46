// The TUN bridge: namespaces, devices and processes on the Linux side, PPP
// framing on the simulated side, and the loop that carries packets between
// them in step with the host's virtual time.

#include "tun_bridge.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "host_isdn.h"
#include "host_ndis.h"
#include "host_records.h"

namespace tolvanex::sim {

using namespace tolvanex::host;

namespace {

// NDISWAN keeps at most the driver's MaxTransmit sends outstanding on a link.
constexpr std::size_t kSendWindow = 2;
// The party sends no further ahead of the line than this.
constexpr Ticks kPartyBacklog = millis(500);
constexpr std::uint16_t kTransferPort = 5001;
constexpr std::size_t kMaxQueued = 64; // packets waiting for a device that is full

const std::uint8_t kPppIp[] = {0xFF, 0x03, 0x00, 0x21};

std::vector<std::uint8_t> ppp_frame(const std::uint8_t *ip, std::size_t n) {
    std::vector<std::uint8_t> f(sizeof kPppIp + n);
    std::memcpy(f.data(), kPppIp, sizeof kPppIp);
    std::memcpy(f.data() + sizeof kPppIp, ip, n);
    return f;
}

// The IP packet inside a PPP frame, address, control and protocol fields
// compressed or not; empty for anything but IPv4.
std::vector<std::uint8_t> ppp_unframe(const std::vector<std::uint8_t> &f) {
    std::size_t i = 0;
    if (f.size() >= 2 && f[0] == 0xFF && f[1] == 0x03)
        i = 2;
    if (f.size() >= i + 2 && f[i] == 0x00 && f[i + 1] == 0x21)
        i += 2;
    else if (f.size() >= i + 1 && f[i] == 0x21)
        i += 1;
    else
        return {};
    if (f.size() - i < 20 || (f[i] >> 4) != 4)
        return {};
    return {f.begin() + static_cast<std::ptrdiff_t>(i), f.end()};
}

double wall_seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void fd_close(int &fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// ---- What runs in the forked children: system calls and stack buffers only ----

[[noreturn]] void child_fail(int fd, const char *what) {
    char msg[256];
    int n = std::snprintf(msg, sizeof msg, "%s: %s", what, std::strerror(errno));
    if (n > 0)
        (void)::send(fd, msg, static_cast<std::size_t>(std::min(n, 255)), MSG_NOSIGNAL);
    _exit(1);
}

void die_with_parent(pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(1);
}

// The same for the first process of a new PID namespace, whose parent lives
// outside it and shows as 0 (1 once the parent has gone).
void die_with_outside_parent() {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != 0)
        _exit(1);
}

bool set_address(int s, const char *name, unsigned long request, const char *address) {
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    inet_pton(AF_INET, address, &in.sin_addr);
    std::memcpy(&ifr.ifr_addr, &in, sizeof in);
    return ioctl(s, request, &ifr) == 0;
}

bool bring_up(int s, const char *name) {
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    if (ioctl(s, SIOCGIFFLAGS, &ifr) != 0)
        return false;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    return ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
}

// The helper that holds one end: a new network namespace with the TUN device
// configured, and a new PID namespace whose first process, when it goes,
// takes every process started in it along. It hands the device and the two
// namespaces back and lives until the simulator closes its socket or dies.
[[noreturn]] void namespace_helper(int sock, pid_t parent, const char *local, const char *peer) {
    die_with_parent(parent);
    prctl(PR_SET_NAME, "tolvanex-tun");
    // Nothing of the simulator's stays open here, the other end's socket
    // least of all: its helper would never see it close.
    if (dup2(sock, 3) != 3)
        _exit(1);
    sock = 3;
    close_range(4, ~0U, 0);
    if (unshare(CLONE_NEWNET | CLONE_NEWPID) != 0)
        child_fail(sock, "unshare(CLONE_NEWNET | CLONE_NEWPID)");
    pid_t init = fork();
    if (init < 0)
        child_fail(sock, "fork");
    if (init == 0) {
        die_with_outside_parent();
        signal(SIGCHLD, SIG_IGN); // orphans of the namespace reap themselves
        for (;;)
            pause();
    }
    int tun = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (tun < 0)
        child_fail(sock, "open /dev/net/tun");
    ifreq ifr{};
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(ifr.ifr_name, kTunDeviceName, IFNAMSIZ - 1);
    if (ioctl(tun, TUNSETIFF, &ifr) != 0)
        child_fail(sock, "TUNSETIFF");
    // IPv4 only: no router solicitations or other IPv6 chatter on the line.
    char path[96];
    std::snprintf(path, sizeof path, "/proc/sys/net/ipv6/conf/%s/disable_ipv6", kTunDeviceName);
    if (int fd = open(path, O_WRONLY | O_CLOEXEC); fd >= 0) {
        (void)!write(fd, "1", 1);
        ::close(fd);
    }
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        child_fail(sock, "socket");
    ifreq mtu{};
    std::strncpy(mtu.ifr_name, kTunDeviceName, IFNAMSIZ - 1);
    mtu.ifr_mtu = kTunMtu;
    if (!bring_up(s, "lo") || !set_address(s, kTunDeviceName, SIOCSIFADDR, local) ||
        !set_address(s, kTunDeviceName, SIOCSIFDSTADDR, peer) ||
        !set_address(s, kTunDeviceName, SIOCSIFNETMASK, "255.255.255.252") || ioctl(s, SIOCSIFMTU, &mtu) != 0 ||
        !bring_up(s, kTunDeviceName))
        child_fail(sock, "configuring the TUN device");
    ::close(s);
    int net = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int pid = open("/proc/self/ns/pid_for_children", O_RDONLY | O_CLOEXEC);
    if (net < 0 || pid < 0)
        child_fail(sock, "open /proc/self/ns");
    char ok[] = "ok";
    iovec iov{ok, 2};
    alignas(cmsghdr) char control[CMSG_SPACE(3 * sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(3 * sizeof(int));
    int fds[3] = {tun, net, pid};
    std::memcpy(CMSG_DATA(c), fds, sizeof fds);
    if (sendmsg(sock, &msg, MSG_NOSIGNAL) < 0)
        child_fail(sock, "sendmsg");
    ::close(tun);
    ::close(net);
    ::close(pid);
    char buf[16];
    while (read(sock, buf, sizeof buf) > 0) {
    }
    kill(init, SIGKILL);
    waitpid(init, nullptr, 0);
    _exit(0);
}

double mono_now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

sockaddr_in endpoint(const char *address) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kTransferPort);
    inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

// The receiving application: accepts one connection and reads it to its end.
[[noreturn]] void tcp_sink(const char *address) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = endpoint(address);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s, 1) != 0) {
        dprintf(1, "sink: cannot listen: %s\n", std::strerror(errno));
        _exit(1);
    }
    dprintf(1, "listening\n");
    int c = accept(s, nullptr, nullptr);
    if (c < 0)
        _exit(1);
    double start = mono_now(), last = start;
    unsigned long long total = 0;
    static char buf[65536];
    for (;;) {
        ssize_t n = read(c, buf, sizeof buf);
        if (n <= 0)
            break;
        total += static_cast<unsigned long long>(n);
        last = mono_now();
    }
    dprintf(1, "received %llu bytes in %.6f s\n", total, last - start);
    ::close(c);
    _exit(0);
}

// The sending application: one connection, `bytes` written, then an orderly close.
[[noreturn]] void tcp_source(const char *address, std::uint64_t bytes) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = endpoint(address);
    if (s < 0 || connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        dprintf(1, "source: cannot connect: %s\n", std::strerror(errno));
        _exit(1);
    }
    static char buf[16384];
    for (std::size_t i = 0; i < sizeof buf; ++i)
        buf[i] = static_cast<char>(i * 7);
    std::uint64_t left = bytes;
    while (left > 0) {
        ssize_t n = write(s, buf, static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof buf)));
        if (n <= 0) {
            dprintf(1, "source: write: %s\n", std::strerror(errno));
            _exit(1);
        }
        left -= static_cast<std::uint64_t>(n);
    }
    shutdown(s, SHUT_WR);
    while (read(s, buf, sizeof buf) > 0) {
    }
    dprintf(1, "sent %llu bytes\n", static_cast<unsigned long long>(bytes));
    _exit(0);
}

std::string program_path(const char *name) {
    const char *path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    dirs += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::size_t from = 0;
    while (from <= dirs.size()) {
        std::size_t to = dirs.find(':', from);
        if (to == std::string::npos)
            to = dirs.size();
        std::string candidate = dirs.substr(from, to - from) + "/" + name;
        if (to > from && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        from = to + 1;
    }
    return {};
}

} // namespace

struct TunBridge::End {
    const char *local, *peer;
    pid_t helper = -1;
    int control = -1; // closing it ends the helper, its namespaces and device
    int tun = -1, netns = -1, pidns = -1;
    std::string ns_id;
    std::deque<std::vector<std::uint8_t>> to_tun; // IP packets off the line
    TunCounters counters;
};

struct TunBridge::Job {
    pid_t pid = -1;
    int out = -1;
    std::string output;
    int status = -1; // exit status once ended
    bool ended = false;
};

TunBridge::TunBridge(Host &host, std::uint32_t link_handle, std::string party)
    : host_(host), link_(link_handle), party_(std::move(party)) {
    for (auto &l : host_.ndiswan().links())
        if (l.link_handle == link_handle && l.up)
            link_context_ = l.context;
    if (!link_context_)
        throw HostError("no link " + hex32(link_handle) + " is up");
    if (!host_.isdn().exchange_mode() || !host_.isdn().exchange().has_party(party_))
        throw HostError("the exchange has no party '" + party_ + "'");
    if (access("/dev/net/tun", R_OK | W_OK) != 0)
        throw TunUnavailable(std::string("/dev/net/tun: ") + std::strerror(errno));
    ends_[0] = std::make_unique<End>(End{kTunWanAddress, kTunPartyAddress});
    ends_[1] = std::make_unique<End>(End{kTunPartyAddress, kTunWanAddress});
    try {
        open_end(*ends_[0]);
        open_end(*ends_[1]);
    } catch (...) {
        close();
        throw;
    }
    host_.ndiswan().on_receive([this](const ReceivedFrame &f) {
        End &e = end(TunSide::Wan);
        auto ip = f.link_context == link_context_ ? ppp_unframe(f.bytes) : std::vector<std::uint8_t>{};
        if (ip.empty() || e.to_tun.size() >= kMaxQueued) {
            ++e.counters.dropped;
            return;
        }
        e.to_tun.push_back(std::move(ip));
    });
    host_.isdn().exchange().tap_party(party_, [this](const std::vector<std::uint8_t> &frame) {
        End &e = end(TunSide::Party);
        auto ip = ppp_unframe(frame);
        if (ip.empty() || e.to_tun.size() >= kMaxQueued) {
            ++e.counters.dropped;
            return;
        }
        e.to_tun.push_back(std::move(ip));
    });
    host_.isdn().exchange().set_pacing(true);
    host_.trace().add(TraceKind::Note, "tun: " + std::string(kTunDeviceName) + " " + kTunWanAddress + " (" +
                                           ends_[0]->ns_id + ") <-> " + kTunDeviceName + " " + kTunPartyAddress + " (" +
                                           ends_[1]->ns_id + "), MTU " + std::to_string(kTunMtu));
}

TunBridge::~TunBridge() {
    close();
}

void TunBridge::open_end(End &e) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
        throw TunUnavailable(std::string("socketpair: ") + std::strerror(errno));
    pid_t parent = getpid();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        ::close(sv[0]);
        ::close(sv[1]);
        throw TunUnavailable(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        ::close(sv[0]);
        namespace_helper(sv[1], parent, e.local, e.peer);
    }
    ::close(sv[1]);
    e.helper = pid;
    e.control = sv[0];
    pollfd p{e.control, POLLIN, 0};
    if (poll(&p, 1, 10'000) != 1)
        throw TunUnavailable("the namespace helper did not answer");
    char buf[256] = {};
    iovec iov{buf, sizeof buf - 1};
    alignas(cmsghdr) char control[CMSG_SPACE(3 * sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(e.control, &msg, MSG_CMSG_CLOEXEC);
    cmsghdr *c = n > 0 ? CMSG_FIRSTHDR(&msg) : nullptr;
    if (!c || c->cmsg_type != SCM_RIGHTS || c->cmsg_len != CMSG_LEN(3 * sizeof(int)))
        throw TunUnavailable(n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "the namespace helper failed");
    int fds[3];
    std::memcpy(fds, CMSG_DATA(c), sizeof fds);
    e.tun = fds[0];
    e.netns = fds[1];
    e.pidns = fds[2];
    fcntl(e.tun, F_SETFL, fcntl(e.tun, F_GETFL) | O_NONBLOCK);
    char link[64] = {};
    std::string proc = "/proc/" + std::to_string(pid) + "/ns/net";
    if (readlink(proc.c_str(), link, sizeof link - 1) > 0)
        e.ns_id = link;
}

TunBridge::Job &TunBridge::spawn(End &e, std::function<void()> child) {
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0)
        throw HostError(std::string("pipe: ") + std::strerror(errno));
    pid_t parent = getpid();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        ::close(pipefd[0]);
        ::close(pipefd[1]);
        throw HostError(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        // Enters the end's namespaces; the job itself runs in a child, the
        // first to be born into the PID namespace.
        die_with_parent(parent);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(pipefd[1], 1);
        dup2(pipefd[1], 2);
        if (setns(e.netns, CLONE_NEWNET) != 0 || setns(e.pidns, CLONE_NEWPID) != 0) {
            dprintf(1, "setns: %s\n", std::strerror(errno));
            _exit(126);
        }
        close_range(3, ~0U, 0); // the job holds its output and nothing else
        pid_t job = fork();
        if (job == 0) {
            die_with_outside_parent();
            child();
            _exit(127);
        }
        int status = 0;
        if (job < 0 || waitpid(job, &status, 0) < 0)
            _exit(126);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    ::close(pipefd[1]);
    fcntl(pipefd[0], F_SETFL, fcntl(pipefd[0], F_GETFL) | O_NONBLOCK);
    Job &j = jobs_.emplace_back();
    j.pid = pid;
    j.out = pipefd[0];
    return j;
}

void TunBridge::collect(Job &j) {
    char buf[4096];
    while (j.out >= 0) {
        ssize_t n = read(j.out, buf, sizeof buf);
        if (n > 0) {
            j.output.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0) {
            fd_close(j.out);
        } else {
            if (errno != EAGAIN && errno != EINTR)
                fd_close(j.out);
            break;
        }
    }
    if (!j.ended && j.pid > 0) {
        int status = 0;
        if (waitpid(j.pid, &status, WNOHANG) == j.pid) {
            j.ended = true;
            j.pid = -1;
            j.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
}

void TunBridge::stop(Job &j) {
    if (j.pid > 0) {
        kill(j.pid, SIGKILL); // its job follows by its parent-death signal
        waitpid(j.pid, nullptr, 0);
        j.pid = -1;
    }
    fd_close(j.out);
    j.ended = true;
}

void TunBridge::from_device(End &e) {
    bool wan = &e == ends_[0].get();
    std::array<std::uint8_t, 65536> buf;
    for (;;) {
        if (wan ? host_.ndiswan().pending() >= kSendWindow
                : host_.isdn().exchange().party_backlog(party_) >= kPartyBacklog)
            return; // the device's queue holds the rest
        ssize_t n = read(e.tun, buf.data(), buf.size());
        if (n <= 0)
            return;
        // The packet goes on the line no earlier than it came out of the
        // stack: whatever the host still owes the wall clock runs first.
        catch_up();
        auto size = static_cast<std::size_t>(n);
        if (size < 20 || (buf[0] >> 4) != 4) {
            ++e.counters.dropped;
            continue;
        }
        bool sent = true;
        if (wan)
            host_.ndiswan().send(link_, ppp_frame(buf.data(), size));
        else
            sent = host_.isdn().exchange().party_send(party_, ppp_frame(buf.data(), size));
        if (!sent) {
            ++e.counters.dropped;
            continue;
        }
        ++e.counters.to_line_packets;
        e.counters.to_line_bytes += size;
        host_.settle();
    }
}

void TunBridge::to_device(End &e) {
    while (!e.to_tun.empty()) {
        auto &ip = e.to_tun.front();
        if (write(e.tun, ip.data(), ip.size()) == static_cast<ssize_t>(ip.size())) {
            ++e.counters.from_line_packets;
            e.counters.from_line_bytes += ip.size();
        } else {
            ++e.counters.dropped;
        }
        e.to_tun.pop_front();
    }
}

void TunBridge::catch_up() {
    Ticks target = virtual0_ + static_cast<Ticks>(wall_seconds(wall0_) * kTicksPerSecond);
    if (target > host_.now())
        host_.run_for(target - host_.now());
}

bool TunBridge::pump(const std::function<bool()> &done, double limit_seconds) {
    if (closed_)
        throw HostError("the TUN bridge is closed");
    auto wall0 = wall0_ = std::chrono::steady_clock::now();
    Ticks virtual0 = virtual0_ = host_.now();
    for (;;) {
        host_.settle();
        for (auto &e : ends_) {
            to_device(*e);
            from_device(*e);
            to_device(*e);
        }
        for (auto &j : jobs_)
            collect(j);
        if (done())
            return true;
        double elapsed = wall_seconds(wall0);
        if (elapsed >= limit_seconds)
            return false;
        // Sleep in poll until a packet, some output, the host's next event or
        // a few milliseconds, whichever comes first.
        Ticks target_now = virtual0 + static_cast<Ticks>(elapsed * kTicksPerSecond);
        int timeout_ms = 5;
        if (auto next = host_.next_deadline())
            timeout_ms = static_cast<int>(std::clamp<Ticks>((*next - target_now) / kTicksPerMs, 0, 5));
        std::vector<pollfd> fds;
        if (host_.ndiswan().pending() < kSendWindow)
            fds.push_back({ends_[0]->tun, POLLIN, 0});
        if (host_.isdn().exchange().party_backlog(party_) < kPartyBacklog)
            fds.push_back({ends_[1]->tun, POLLIN, 0});
        for (auto &j : jobs_)
            if (j.out >= 0)
                fds.push_back({j.out, POLLIN, 0});
        poll(fds.data(), fds.size(), timeout_ms);
        catch_up();
    }
}

void TunBridge::carry(double seconds) {
    pump([] { return false; }, seconds);
}

PingResult TunBridge::ping(TunSide from, int count, int size, double interval, double limit_seconds) {
    std::string path = program_path("ping");
    if (path.empty())
        throw HostError("ping is not installed (Debian package iputils-ping)");
    const char *peer = end(from).peer;
    std::string c = std::to_string(count), s = std::to_string(size);
    char i[32];
    std::snprintf(i, sizeof i, "%.3f", interval);
    std::string w = std::to_string(static_cast<int>(limit_seconds) + 1);
    Job &j = spawn(end(from), [&] {
        execl(path.c_str(), "ping", "-n", "-c", c.c_str(), "-s", s.c_str(), "-i", i, "-w", w.c_str(), peer,
              static_cast<char *>(nullptr));
    });
    bool finished = pump([&] { return j.ended && j.out < 0; }, limit_seconds);
    if (!finished)
        stop(j);
    PingResult r;
    r.status = finished ? j.status : -1;
    std::size_t from_pos = 0;
    while (from_pos < j.output.size()) {
        std::size_t nl = j.output.find('\n', from_pos);
        if (nl == std::string::npos)
            nl = j.output.size();
        std::string line = j.output.substr(from_pos, nl - from_pos);
        from_pos = nl + 1;
        if (line.empty())
            continue;
        r.lines.push_back(line);
        if (auto t = line.find(" time="); t != std::string::npos && line.find("bytes from") != std::string::npos)
            r.rtt_ms.push_back(std::strtod(line.c_str() + t + 6, nullptr));
        int tx = 0, rx = 0;
        if (std::sscanf(line.c_str(), "%d packets transmitted, %d received", &tx, &rx) == 2) {
            r.transmitted = tx;
            r.received = rx;
        }
    }
    jobs_.clear();
    return r;
}

TransferResult TunBridge::transfer(TunSide from, std::uint64_t bytes, double limit_seconds) {
    End &source = end(from);
    End &sink = end(from == TunSide::Wan ? TunSide::Party : TunSide::Wan);
    const char *at = sink.local;
    Job &server = spawn(sink, [at] { tcp_sink(at); });
    TransferResult r;
    auto start = std::chrono::steady_clock::now();
    if (!pump([&] { return server.output.find("listening\n") != std::string::npos || server.ended; }, 10)) {
        stop(server);
        jobs_.clear();
        r.detail = "the receiving end did not start listening";
        return r;
    }
    Job &client = spawn(source, [at, bytes] { tcp_source(at, bytes); });
    double left = std::max(0.0, limit_seconds - wall_seconds(start));
    auto client_failed = [&] { return client.ended && client.out < 0 && client.status != 0; };
    bool finished = pump(
        [&] { return (server.ended && server.out < 0 && client.ended && client.out < 0) || client_failed(); }, left);
    if (!finished || client_failed()) {
        stop(server);
        stop(client);
    }
    unsigned long long got = 0;
    double seconds = 0;
    auto at_line = server.output.find("received ");
    if (at_line != std::string::npos &&
        std::sscanf(server.output.c_str() + at_line, "received %llu bytes in %lf s", &got, &seconds) == 2) {
        r.bytes = got;
        r.seconds = seconds;
        r.goodput = seconds > 0 ? static_cast<double>(got) * 8 / seconds : 0;
    }
    r.complete = finished && server.status == 0 && client.status == 0 && r.bytes == bytes;
    if (!r.complete) {
        r.detail = !finished ? "stopped at the limit of " + std::to_string(static_cast<int>(limit_seconds)) + " s"
                             : "receiver: " + server.output + " sender: " + client.output;
        while (!r.detail.empty() && r.detail.back() == '\n')
            r.detail.pop_back();
    }
    jobs_.clear();
    return r;
}

const TunCounters &TunBridge::counters(TunSide side) const {
    return end(side).counters;
}
const std::string &TunBridge::namespace_id(TunSide side) const {
    return end(side).ns_id;
}

void TunBridge::close() {
    if (closed_)
        return;
    closed_ = true;
    for (auto &j : jobs_)
        stop(j);
    jobs_.clear();
    host_.ndiswan().on_receive({});
    if (host_.isdn().exchange_mode() && host_.isdn().exchange().has_party(party_))
        host_.isdn().exchange().tap_party(party_, {});
    for (auto &e : ends_) {
        if (!e)
            continue;
        fd_close(e->tun);
        fd_close(e->netns);
        fd_close(e->pidns);
        fd_close(e->control); // the helper sees the end of its socket and goes
        if (e->helper > 0) {
            int waited = 0;
            while (waitpid(e->helper, nullptr, WNOHANG) == 0) {
                if (++waited == 200)
                    kill(e->helper, SIGKILL);
                usleep(10'000);
            }
            e->helper = -1;
        }
    }
}

} // namespace tolvanex::sim
