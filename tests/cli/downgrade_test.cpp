// An entry with a password on another machine, without an encryption key, when something in the
// path answers the handshake in its server's place. In a network namespace of the test's own
// (10.77.0.1 on its loopback), a scripted server records every connection: whether it began with
// a ClientHello, and whether a request with credentials came in clear.
#include "CliRun.h"
#include "support/LocalServers.h"
#include "support/PrivateFiles.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace quenlo::test {
namespace {

// One server per port, each doing what its mode file says at every connection that opens with a
// ClientHello: "tls" serves the request over TLS ("tls-once" then turns "plain"), "plain" answers
// in plain HTTP, "reset" resets,
// "garbage" sends a TLS record header and then bytes that are no handshake. A request in clear is
// answered "clear". Each connection becomes a line "PORT what" in the log.
const char* const kServers = R"py(import selectors, socket, ssl, struct, sys
ready, log, cert, key = sys.argv[1:5]
ports = [int(p) for p in sys.argv[5:]]
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
listeners = selectors.DefaultSelector()
for port in ports:
    s = socket.socket()
    s.bind(("10.77.0.1", port))
    s.listen(8)
    listeners.register(s, selectors.EVENT_READ, port)
open(ready, "w").close()

def note(port, what):
    with open(log, "a") as f:
        f.write("%d %s\n" % (port, what))

def request(c):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = c.recv(4096)
        if not chunk:
            break
        data += chunk
    return data

while True:
    events = listeners.select(120)
    if not events:
        break
    port = events[0][0].data
    c, _ = events[0][0].fileobj.accept()
    c.settimeout(10)
    mode = open("%s.%d" % (log, port)).read().strip()
    try:
        if c.recv(1, socket.MSG_PEEK) != b"\x16":
            data = request(c)
            note(port, "clear with-password" if b"\nauthorization:" in data.lower() else "clear")
            c.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nclear")
        elif mode in ("tls", "tls-once"):
            s = context.wrap_socket(c, server_side=True)
            request(s)
            s.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nsecure")
            note(port, "tls")
            c = s
            if mode == "tls-once":
                open("%s.%d" % (log, port), "w").write("plain")
        else:
            c.recv(65536)
            note(port, mode)
            if mode == "plain":
                c.sendall(b"HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n")
            elif mode == "garbage":
                c.sendall(b"\x16\x03\x03\x00\x08garbage!garbage!")
            else:
                c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except Exception as e:
        note(port, "error " + type(e).__name__)
    c.close()
)py";

// Each step prints "LABEL<TAB>EXIT<TAB>STDOUT<TAB>STDERR", the logs follow as "log<TAB>LINE".
const char* const kScript = R"sh(ip link set lo up && ip addr add 10.77.0.1/8 dev lo || exit 9
ec="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
openssl req -x509 $ec -keyout $D/key.pem -out $D/cert.pem -subj /CN=print.test -days 2 2>/dev/null || exit 9
# 8635's certificate is vouched for by the system: a test authority in place of the system's list.
openssl req -x509 $ec -keyout $D/ca.key -out $D/ca.pem -subj /CN=Test-Authority -days 2 2>/dev/null &&
  openssl req $ec -keyout $D/vouched.key -out $D/vouched.csr -subj /CN=10.77.0.1 2>/dev/null &&
  echo subjectAltName=IP:10.77.0.1 >$D/san && openssl x509 -req -in $D/vouched.csr -CA $D/ca.pem \
    -CAkey $D/ca.key -CAcreateserial -extfile $D/san -out $D/vouched.pem -days 2 2>/dev/null &&
  mount --bind $D/ca.pem /etc/ssl/certs/ca-certificates.crt || exit 9
for p in 8631 8632 8633 8634; do echo tls >$D/log.$p; done
echo tls-once >$D/log.8635
timeout 120 python3 $D/servers.py $D/ready $D/log $D/cert.pem $D/key.pem 8631 8632 8633 8634 2>/dev/null & pid=$!
timeout 120 python3 $D/servers.py $D/ready2 $D/log $D/vouched.pem $D/vouched.key 8635 2>/dev/null & pid2=$!
for i in $(seq 100); do [ -e $D/ready ] && [ -e $D/ready2 ] && break; sleep 0.1; done
export XDG_CONFIG_HOME=$D/xdg LC_ALL=C
step() { label=$1; shift; out=$(timeout 60 "$@" 2>$D/err); code=$?
  printf '%s\t%s\t%s\t%s\n' "$label" $code "$(printf '%s' "$out" | tr '\n\t' '| ')" "$(tr '\n\t' '| ' <$D/err)"; }
get() { step "$1" $CLI get http://10.77.0.1:$2/ --user anna --pass secret-pw --timeout 10; }
printf '<printer>\nname=laser\nremotehost=10.77.0.1:8631\nurl=/printers/laser\nlocalport=-1\nuser=anna\npass=secret-pw\n<endprinter>\n' >$D/printers.qdl
get first 8631
echo plain >$D/log.8631
get kept-plain 8631
step refresh $CLI refresh --config $D/printers.qdl
step pause $CLI pause-printer --config $D/printers.qdl
step add $CLI add 10.77.0.1:8631/printers/laser --user anna --pass secret-pw --dry-run --config $D/added.qdl
echo reset >$D/log.8631
get kept-reset 8631
step watch $CLI watch --config $D/printers.qdl --seconds 1 --count 1
echo plain >$D/log.8632
get new-plain 8632
sed s/8631/8632/ $D/printers.qdl >$D/new.qdl
step new-refresh $CLI refresh --config $D/new.qdl
echo reset >$D/log.8633
get new-reset 8633
echo garbage >$D/log.8634
get new-garbage 8634
sed s/8631/8635/ $D/printers.qdl >$D/vouched.qdl
step vouched-refresh $CLI refresh --config $D/vouched.qdl
step trusted $CLI trust --list
kill $pid $pid2
while read -r line; do printf 'log\t%s\n' "$line"; done <$D/log
)sh";

struct Step {
    int exitCode = -1;
    std::string out;
    std::string err;
};

TEST(Downgrade, ServersSeenSpeakingTlsNeverGetThePasswordInClear)
{
    const bool usable =
        std::system("unshare -nm true 2>/dev/null") == 0 && std::system("command -v openssl >/dev/null") == 0;
    QUENLO_NEED(usable ? "" : "this test needs network and mount namespaces (root) and openssl");
    const TempDir temp("downgrade");
    temp.Write("servers.py", kServers);
    const std::string command = "D=" + ShellQuoted(temp.Path()) + " CLI=" + ShellQuoted(QUENLO_CLI) +
                                " timeout 300 unshare -nm sh -c " + ShellQuoted(kScript);
    const CliOutcome run = RunShell(command);
    const std::string& all = run.out;
    ASSERT_EQ(run.exitCode, 0) << all;

    std::map<std::string, Step> steps;
    std::map<std::string, int> logged;  // "PORT what" -> connections
    std::istringstream lines(all);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');)
            f.push_back(field);
        if (f.size() == 2 && f[0] == "log")
            ++logged[f[1]];
        else if (f.size() >= 2)
            steps[f[0]] = {std::atoi(f[1].c_str()), f.size() > 2 ? f[2] : "", f.size() > 3 ? f[3] : ""};
    }
    const auto says = [&](const std::string& label, const std::string& text) {
        return steps[label].err.find(text) != std::string::npos;
    };

    EXPECT_EQ(steps["first"].exitCode, 0) << all;
    EXPECT_EQ(steps["first"].out, "secure") << all;
    // The kept server: whatever now answers in its place never gets a request in clear.
    EXPECT_EQ(logged["8631 clear with-password"], 0) << all;
    EXPECT_EQ(logged["8631 clear"], 0) << all;
    for (const char* label : {"kept-plain", "kept-reset", "refresh", "pause", "add"})
        EXPECT_NE(steps[label].exitCode, 0) << label << "\n" << all;
    EXPECT_TRUE(says("kept-plain", "10.77.0.1:8631 no longer speaks TLS (it answered in plain HTTP)")) << all;
    EXPECT_TRUE(says("kept-reset", "10.77.0.1:8631 no longer speaks TLS (it closed the connection")) << all;
    for (const char* label : {"kept-plain", "kept-reset", "new-reset"}) {
        EXPECT_TRUE(says(label, "To allow plain HTTP for this entry, set encryption=Never")) << label << "\n" << all;
        EXPECT_FALSE(says(label, "TLS required")) << label << "\n" << all;
    }

    // A server never seen speaking TLS that answers in plain HTTP gets the request in clear, and
    // the user is told the password went unencrypted.
    EXPECT_EQ(steps["new-plain"].exitCode, 0) << all;
    EXPECT_EQ(steps["new-plain"].out, "clear") << all;
    EXPECT_TRUE(says("new-plain", "password went unencrypted")) << all;
    const std::string& status = steps["new-refresh"].out;
    EXPECT_NE(status.substr(0, status.find('|')).find(" - figyelem: a jelszó titkosítatlanul ment át"), std::string::npos)
        << all;
    EXPECT_TRUE(says("new-refresh", "the password of printer laser went unencrypted")) << all;
    // A reset, or a handshake that went wrong after the server spoke TLS, is no reason to go plain.
    EXPECT_EQ(steps["new-reset"].exitCode, 1) << all;
    EXPECT_TRUE(says("new-reset", "10.77.0.1:8633 closed the connection instead of answering TLS")) << all;
    EXPECT_EQ(logged["8633 clear with-password"], 0) << all;
    EXPECT_EQ(steps["new-garbage"].exitCode, 1) << all;
    EXPECT_TRUE(says("new-garbage", "TLS handshake with 10.77.0.1:8634 failed")) << all;
    EXPECT_EQ(logged["8634 clear with-password"], 0) << all;
    // A certificate the system vouches for is not kept, so only the program's memory that the
    // server spoke TLS keeps the refresh's next request from going plain.
    EXPECT_EQ(steps["trusted"].out.find(":8635"), std::string::npos) << all;
    EXPECT_EQ(logged["8635 tls"], 1) << all;
    EXPECT_NE(steps["vouched-refresh"].exitCode, 0) << all;
    EXPECT_NE(steps["vouched-refresh"].out.find("10.77.0.1:8635 no longer speaks TLS (it answered in plain HTTP)"),
              std::string::npos) << all;
    EXPECT_EQ(logged["8635 clear with-password"], 0) << all;
}

}  // namespace
}  // namespace quenlo::test
