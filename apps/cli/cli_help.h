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
    "  dial [NUMBER]              dial NUMBER (or a contact's nick), or the number\n"
    "                             shown; answers a ringing call\n"
    "  hangup                     end or refuse the call; with no call, clear the\n"
    "                             number shown\n"
    "  floor-request              push-to-talk: ask for the floor\n"
    "  floor-offer                push-to-talk: hand the floor over\n"
    "  mute on|off                send no voice during the call\n"
    "  book list                  the contacts: ROW NICK TYPE NUMBER MEMO\n"
    "  book add NUMBER            add a contact (or find the one with that number)\n"
    "  book delete ROW            delete the contact in ROW\n"
    "  book set ROW NICK TYPE MEMO\n"
    "                             edit a contact; TYPE N (normal), V (voice call:\n"
    "                             hung up at once) or B (black list: refused)\n"
    "  key DIGIT                  the key tone of a keypad digit\n"
    "  melody play in|out|find|info\n"
    "                             play a melody of the settings (or by slot 0..3)\n"
    "  melody stop                stop the melody\n"
    "  mic-test start|stop        the microphone test: records and plays back\n"
    "                             through the codec\n"
    "  config get FIELD           a setting, printed as \"config: FIELD=VALUE\"\n"
    "  config set FIELD VALUE     change a setting and apply it at once (a changed\n"
    "                             port or sound setting restarts the listener or\n"
    "                             the sound devices); prints it as config get\n"
    "  config list                every setting's name: \"config-field: NAME\"\n"
    "  wait MS                    keep running for MS milliseconds, reading nothing\n"
    "  help                       this list\n"
    "  quit                       end (so does the end of the input)\n"
    "Every text of the display is printed as \"display: TEXT\", every message box\n"
    "as \"message: TEXT\", the server test's progress as \"test-server: TEXT\".\n"
    "A command that waits for the server reads no further line until the answer\n"
    "is in. When the phone needs the account password it prints \"login: PROMPT\"\n"
    "and takes \"password TEXT [save|nosave]\" or \"cancel\".\n"
    "A change of the call state prints \"state: stateClient=N\" (5 idle, 6 ringing,\n"
    "7 calling, 8 talking), a number to show \"number: NUMBER\" (and \"name: NICK\"\n"
    "for a contact; \"number:\" when cleared), each contact of the list\n"
    "\"contact: ROW NICK TYPE NUMBER MEMO\", a change of the microphone test\n"
    "\"mic-test: rec=N play=N\" (0 running, 1 idle, 2 done).\n";

}  // namespace orvalis::cli
