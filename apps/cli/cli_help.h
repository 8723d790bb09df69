#pragma once
// The headless phone's commands, as "help" and --help list them.

#include <string_view>

namespace orvalis::cli {

inline constexpr std::string_view commandHelp =
    "Commands, one per line:\n"
    "  status                     the phone's state as key=value pairs\n"
    "  register-new NUMBER PASSWORD [nosave]\n"
    "                             register a new number on the server\n"
    "  register-existing NUMBER PASSWORD [nosave]\n"
    "                             take over a number the server already has\n"
    "  connect                    resume the automatic login\n"
    "  disconnect                 log out and suspend the automatic login\n"
    "  delete-user                delete the own number on the server\n"
    "  change-password PASSWORD [save]\n"
    "                             change the password on the server\n"
    "  test-server                check that the server can be reached\n"
    "  wait MS                    keep running for MS milliseconds, reading nothing\n"
    "  help                       this list\n"
    "  quit                       end (so does the end of the input)\n"
    "Every text of the display is printed as \"display: TEXT\", every message of\n"
    "the account commands as \"message: TEXT\", the server test's progress as\n"
    "\"test-server: TEXT\". A command that waits for the server reads no further\n"
    "line until the answer is in. When the phone needs the account password it\n"
    "prints \"login: PROMPT\" and takes \"password TEXT [save|nosave]\" or \"cancel\".\n";

}  // namespace orvalis::cli
