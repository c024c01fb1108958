// The texts of --help, one per command.

#include <string>

#include "ctl/CtlCommon.h"

namespace {

constexpr char OVERVIEW[] = R"(Usage: opal-agent-ctl [--json] COMMAND [ARGUMENTS]

The agent's settings tool without a desktop: the same configuration files,
rules and messages as the settings dialog.

Commands:
  status                          the agent's status, its service and server
  config show                     the settings the dialog shows (passwords: set or not)
  config set NAME=VALUE...        change settings, check them as OK does, save
  config apply FILE.json|-        make the settings so; save only what differs
  test-connection [NAME=VALUE...] the connection test, with unsaved overrides
  service start|stop|restart|status
                                  control the agent's service
  diagnose --output FILE.tar.gz   a support bundle with every secret removed

Options:
  --json      answer with one JSON object on standard output
  --help      this text; after a command, that command's help
  --version   the program's version

Exit status: 0 success, 1 the operation failed, 2 a usage error.
See opal-agent-ctl(1).
)";

constexpr char SETTINGS[] = R"(Settings, as the General and Advanced pages label them:
  server=HOST                  Server address
  port=N                       Server port (1-65535)
  protocol=http|https          Protocol
  auth=none|basic|digest|ntlm  User authentication and its method
  user=NAME                    User name (turns authentication on)
  password                     Password (from --password-stdin or --password-file)
  proxy=HOST                   Proxy address (turns the proxy on)
  proxy-type=none|http|socks5|socks4
                               Proxy server settings and the proxy's type
  proxy-port=N                 Proxy port
  proxy-user=NAME              The proxy's user name (turns its authentication on)
  proxy-password               The proxy's password (from stdin or a file)
  proxy-auth-method=none|basic|digest|ntlm
                               The proxy's user authentication and its method
  ca=FILE                      Root CA certificate path (HTTPS settings)
  client-cert=FILE             Client certificate path; empty: none required
  client-cert-password         Client certificate password (from stdin or a file)
  retry=SECONDS                Retry after (30 - 3600)
  timeout=SECONDS              Timeout after (300 - 3600)

Passwords are never taken from the command line, where every user can read
them in the process list (an empty value, which clears one, is):
  --password-stdin[=NAME[,NAME...]]
                 one line of standard input for each NAME, in order, asked
                 for without echo at a terminal (NAME: password,
                 proxy-password, client-cert-password; without one: password)
  --password-file=[NAME=]FILE
                 the file's contents, less one line end (without NAME: password)
)";

constexpr char STATUS[] = R"(Usage: opal-agent-ctl [--json] status

The agent's RegisterStatus, AgentStatus with the tray tip's text, ToolTag,
NetConfigChanged, the service's state (running, stopped, starting, stopping,
not-installed, or unknown with the reason), the configured server URL and
proxy, and the program directory. Reads only; changes nothing.

Exit status 1 when the agent is not installed here or its state cannot be
read: the status document (AgentStatus.xml) or the registry value AgentStatus
is missing or unreadable, the agent's service is not installed, or the
system configuration names no service. Each missing part is named on
standard error (with --json, in "missing" and the error's message).
)";

constexpr char CONFIG_SHOW[] = R"(Usage: opal-agent-ctl [--json] config show

Every setting of the local configuration as the settings dialog shows it,
under the names of `config set`; passwords only as set or not set. Then the
read-only values of the Advanced page. With --json, the "settings" member
can be given to `config apply` as it is.
Exit status 1 when the local configuration cannot be read.
)";

constexpr char CONFIG_SET[] =
    R"(Usage: opal-agent-ctl [--json] config set NAME=VALUE... [password options] [--force]

Loads the configuration as the settings dialog does, applies the values,
checks both pages in the dialog's order with its messages, then saves as OK
does and tells the agent (NetConfigChanged 1, ToolTag 2). Nothing is saved
when a check refuses (exit status 1, the dialog's message on standard error).
A configuration that cannot be read is not overwritten unless --force is
given (the settings not named then take their defaults).

)";

constexpr char CONFIG_APPLY[] =
    R"(Usage: opal-agent-ctl [--json] config apply FILE.json|- [password options] [--check] [--diff] [--force]

FILE.json (- for standard input) holds one object of settings under the
names of `config set`, e.g. {"server": "kestrel.example.com", "port": 443};
whole numbers may be given as numbers, and the passwords as strings (the
file is not in the process list). Settings not named keep their values.
The same checks as `config set`; then the configuration is saved and the
agent told only when something differs from what is stored. When all is
already so nothing is written and the agent is not disturbed.
Passwords may also come from the password options below (the settings then
from a file, when --password-stdin reads standard input); a password equal
to the stored one changes nothing.
  --check   print what would change, save nothing
  --diff    print each changed setting's value before and after (with
            --json, the "diff" member); a password only as "set",
            "changed" or "not set"
The answer says "changed": true or false.

)";

constexpr char TEST_CONNECTION[] =
    R"(Usage: opal-agent-ctl [--json] test-connection [NAME=VALUE...] [password options] [--diagnose]
                                 [--timeout SECONDS]

The settings dialog's Test Connection: one request to the configured server
with the saved settings, or with the given overrides, which are checked as
the dialog checks them and never saved. The outcome is the dialog's message
(7020 success, 7019 unable to connect, 7052 a server error); exit status 0
only for success.
  --diagnose   report the test step by step (name lookup, connect, TLS,
               authentication, HTTP status, the servlet's answer), with a
               hint naming the setting to change for a failed step
  --timeout SECONDS
               give up after that long without a result (1 to 86400; exit
               status 1); the transfer's own time-out stays as configured
Ctrl-C or SIGTERM ends a running test (exit status 130 or 143). The test
takes the agent's route: the configured proxy or none, whatever the proxy
variables of the environment say.

)";

constexpr char SERVICE[] = R"(Usage: opal-agent-ctl [--json] service start|stop|restart|status

Starts, stops or restarts the agent's service as the tray menu does, with
its messages, waiting for the service (up to three minutes; progress on a
terminal). `status` prints the service's state; its exit status is 1 only
when the state cannot be read.
)";

constexpr char DIAGNOSE[] = R"(Usage: opal-agent-ctl [--json] diagnose --output FILE.tar.gz

Writes a support bundle: the agent's documents with every password, key and
certificate password removed (stored "!CRYPT!" values included), the
registry values, the status, the service's state and recent journal lines
(when readable), the last part of the tool's log with every line that could
carry a secret removed, the versions of the tool and its libraries, the
language libraries found, and a connection test with its diagnosis.
The file is created with mode 0600.
)";

} // namespace

std::string CtlHelp(const std::string& topic) {
    if (topic == "status")
        return STATUS;
    if (topic == "config show")
        return CONFIG_SHOW;
    if (topic == "config set")
        return std::string(CONFIG_SET) + SETTINGS;
    if (topic == "config apply")
        return std::string(CONFIG_APPLY) + SETTINGS;
    if (topic == "config")
        return std::string(CONFIG_SHOW) + "\n" + CONFIG_SET + "\n" + CONFIG_APPLY + SETTINGS;
    if (topic == "test-connection")
        return std::string(TEST_CONNECTION) + SETTINGS;
    if (topic == "service")
        return SERVICE;
    if (topic == "diagnose")
        return DIAGNOSE;
    return OVERVIEW;
}
