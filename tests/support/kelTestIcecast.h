#pragma once
// An icecast2 server for interop tests, started from a configuration the
// test writes into its own folder: listen sockets on 127.0.0.1 only (the
// first plain, the second a SHOUTcast mount, which opens its port and the
// next), logs and pid file in the folder, no directory listing. icecast2
// refuses to run as root, so as root it is told to change to the package's
// own user, and the folder is handed to that user. Stopped by its PID.
// Used from the test's own thread.

#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>

class kelTestIcecast
{
public:
    static constexpr const char* kBinary = "/usr/bin/icecast2";
    static bool installed() { return ::access(kBinary, X_OK) == 0; }

    // Free TCP ports port, port + 1, port + 2 and port + 3 on 127.0.0.1; 0
    // when none were found.
    static uint16_t freePorts()
    {
        for (int attempt = 0; attempt < 50; ++attempt) {
            const uint16_t base = kelTestFreeTcpPort();
            if (base == 0 || base > 65530) continue;
            bool ok = true;
            for (uint16_t k = 1; k < 4 && ok; ++k)
                ok = kelTestTcpPortFree(static_cast<uint16_t>(base + k));
            if (ok) return base;
        }
        return 0;
    }

    // `extra` is added inside <icecast> (mounts, relays). Ports: port() plain,
    // dnasPort() with <shoutcast-mount>/dnas (the DNAS source port is
    // dnasPort() + 1).
    bool start(const std::string& extra = {})
    {
        f_port = freePorts();
        if (f_port == 0 || f_dir.path().empty()) return false;
        const std::string dir = f_dir.path();
        std::ofstream conf(dir + "/icecast.xml");
        conf << "<icecast>\n"
                "<limits><clients>50</clients><sources>8</sources><burst-size>0</burst-size>"
                "<source-timeout>10</source-timeout></limits>\n"
                "<authentication><source-password>"
             << xml(kSourcePassword) << "</source-password><relay-password>" << xml(kSourcePassword)
             << "</relay-password><admin-user>admin</admin-user><admin-password>" << kAdminPassword
             << "</admin-password></authentication>\n"
                "<hostname>127.0.0.1</hostname>\n"
                "<listen-socket><port>"
             << f_port
             << "</port><bind-address>127.0.0.1</bind-address></listen-socket>\n"
                "<listen-socket><port>"
             << dnasPort()
             << "</port><bind-address>127.0.0.1</bind-address><shoutcast-mount>/dnas</shoutcast-mount>"
                "</listen-socket>\n"
             << extra
             << "<fileserve>1</fileserve>\n"
                "<paths><basedir>"
             << dir << "</basedir><logdir>" << dir << "</logdir><pidfile>" << dir
             << "/icecast.pid</pidfile><webroot>/usr/share/icecast2/web</webroot>"
                "<adminroot>/usr/share/icecast2/admin</adminroot></paths>\n"
                "<logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>3</"
                "loglevel>"
                "</logging>\n"
                "<security><chroot>0</chroot>"
             << ownerClause() << "</security>\n</icecast>\n";
        conf.close();
        if (::geteuid() == 0) handFolderOver(dir);
        if (!f_process.start({kBinary, "-c", dir + "/icecast.xml"}, dir + "/stdout.log")) return false;
        return kelTestWaitUntil([&] { return statusJson().find("\"icestats\"") != std::string::npos; },
                                15000);
    }

    void stop() { f_process.stop(); }
    void kill() { f_process.signal(SIGKILL); }

    uint16_t port() const { return f_port; }
    uint16_t dnasPort() const { return static_cast<uint16_t>(f_port + 2); }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(f_port); }
    std::string folder() const { return f_dir.path(); }
    // What it logged, for failure messages.
    std::string errorLog() const
    {
        return kelTestProcess::readFile(f_dir.path() + "/stdout.log") +
               kelTestProcess::readFile(f_dir.path() + "/error.log");
    }

    // The server's status text ("" when it does not answer).
    std::string statusJson() const { return curl("-m 2 " + base() + "/status-json.xsl"); }
    // Whether `mount` has a source (its listen URL is in the status).
    bool hasMount(const std::string& mount) const
    {
        return statusJson().find("\"listenurl\":\"" + base() + mount + "\"") != std::string::npos;
    }
    // Sets the title of `mount` through the admin interface.
    bool setTitle(const std::string& mount, const std::string& title) const
    {
        const std::string out =
            curl("-m 5 -G -u admin:" + std::string(kAdminPassword) + " --data-urlencode mount=" + mount +
                 " --data-urlencode mode=updinfo" + " --data-urlencode " + shellQuote("song=" + title) + " " +
                 base() + "/admin/metadata");
        return out.find("successful") != std::string::npos;
    }

    static constexpr const char* kSourcePassword = "hack&me=1";
    static constexpr const char* kAdminPassword = "adminpw";

    static std::string curl(const std::string& args)
    {
        return kelTestProcess::filter("curl -s " + args, "").value_or("");
    }
    static std::string shellQuote(const std::string& s)
    {
        std::string out = "'";
        for (char c : s)
            out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return out + "'";
    }

private:
    static std::string xml(const std::string& s)
    {
        std::string out;
        for (char c : s)
            out += c == '&' ? std::string("&amp;") : c == '<' ? std::string("&lt;") : std::string(1, c);
        return out;
    }
    static std::string ownerClause()
    {
        if (::geteuid() != 0) return {};
        return "<changeowner><user>icecast2</user><group>icecast</group></changeowner>";
    }
    static void handFolderOver(const std::string& dir)
    {
        const passwd* pw = ::getpwnam("icecast2");
        const group* gr = ::getgrnam("icecast");
        if (!pw || !gr) return;
        for (const char* name : {"", "/icecast.xml"})
            (void)!::chown((dir + name).c_str(), pw->pw_uid, gr->gr_gid);
    }

    kelTempDir f_dir;
    kelTestProcess f_process;
    uint16_t f_port = 0;
};
