#include "standin_options.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <unistd.h>

#include "loaded_plugins.h"
#include "packet_text.h"
#include "tools/bus-monitor/bus_monitor_packet.h"

namespace {

constexpr double DEFAULT_UNATTENDED_SECONDS = 20;
constexpr double DEFAULT_UNATTENDED_KILL_SECONDS = 60;

void PrintUsage(const char *program) {
    std::printf("Usage: %s [options] CORE [core arguments...]\n"
                "Plays the supervising daemon: starts CORE with one end of a sequenced-packet\n"
                "socket pair, sends its identity and packets for plugins, prints every packet\n"
                "from the core with a time stamp, and sends the stop packet on Ctrl-C or\n"
                "SIGTERM (once the link is closed, the signal is passed on to CORE).\n"
                "Times are seconds (fractions allowed) from the start of CORE.\n"
                "\n"
                "Identity:\n"
                "  --no-identity          never send the identity packet\n"
                "  --identity-delay S     send it S seconds after the start (default 0)\n"
                "  --version TEXT         the version it names (default 1.0.0)\n"
                "\n"
                "Packets for plugins, to TARGET: an ADDRESS (bits 20-31 name the plugin whose\n"
                "ID has them as bits 16-27), id:ID (the plugin with that ID), or the file name\n"
                "of a plugin library, with or without .so (sent once the core has loaded it):\n"
                "  --send TARGET TEXT     a packet whose payload is TEXT, where \\n \\t \\r \\0\n"
                "                         \\\\ and \\xHH stand for their bytes\n"
                "  --send-file TARGET FILE\n"
                "                         a packet whose payload is the contents of FILE\n"
                "  --type N               PacketType of these packets (default 1; 7 is the\n"
                "                         identity, 8 the stop)\n"
                "  --delay S              from the identity (or the start, without one) to\n"
                "                         the first packet (default 1)\n"
                "  --repeat N             send the packets N times, in the order given\n"
                "                         (default 1)\n"
                "  --interval S           between repetitions (default 1)\n"
                "  --no-demo              send nothing unless asked; without --send or\n"
                "                         --send-file the stand-in sends \"hello\" to 0x%08X,\n"
                "                         the example echo responder, when a plugin takes it\n"
                "\n"
                "Packets from plugins are printed; also:\n"
                "  --record FILE          append each to FILE as one line: seconds, length\n"
                "                         and every byte in hex\n"
                "\n"
                "Plugins (the core then runs from a temporary installation, removed when it\n"
                "exits, so nothing is copied into an installation):\n"
                "  --plugins PATH         run the core with the plugin library PATH, or with\n"
                "                         every .so file in the directory PATH, instead of\n"
                "                         the plugins installed beside it; may be repeated\n"
                "  --monitor              also load the bus monitor plugin and show each event\n"
                "                         as it is delivered: time, source, class, type,\n"
                "                         length and first bytes. The monitor sends one\n"
                "                         packet of type 0x%X per event, at most %u a second;\n"
                "                         the source is named from plugins.xml in the working\n"
                "                         directory\n"
                "  --excerpt N            the monitor shows the first N bytes of each event\n"
                "                         (default 32, at most %u)\n"
                "  --emulator WORD        start CORE through this program (an emulator for a\n"
                "                         core built for another machine); words accumulate\n"
                "\n"
                "Ending:\n"
                "  --seconds S            send the stop packet after S seconds (default, when\n"
                "                         standard input is not a terminal and --close-after\n"
                "                         is not given: %g)\n"
                "  --close-after S        close the link after S seconds: the core logs the\n"
                "                         loss and exits about one minute later\n"
                "  --kill-after S         kill the core (SIGKILL) when it has not stopped S\n"
                "                         seconds after it was asked to (default, when\n"
                "                         standard input is not a terminal: %g); Ctrl-C\n"
                "                         asks once, passes the signal on the second time and\n"
                "                         kills the core the third; a hang-up of the stand-in's\n"
                "                         terminal stops the core and kills it after %g seconds\n"
                "                         at most\n"
                "  --exit-zero            exit with 0 whatever the core did, once it ran\n"
                "  --restart N            play a restarting supervisor: when the core dies by a\n"
                "                         signal, say which plugin its crash report blames and\n"
                "                         start it again, at most N times; the timed options\n"
                "                         count from each start; a summary of the crashes ends\n"
                "                         the run\n"
                "  -h, --help             print this text\n"
                "\n"
                "The core runs on a pseudo-terminal of the stand-in's, whose lines it prints\n"
                "(coloured when its own output is a terminal), and a last line sums the run up:\n"
                "how the core ended, the plugins it refused and the buffers left leaked.\n"
                "The exit code is the core's (128 + the signal that killed it, 127 when CORE\n"
                "cannot be run), 3 when the core stopped cleanly but refused a plugin, or 2\n"
                "for a mistake in the options or a failure to set up; 0 with --exit-zero.\n",
                program, DEMO_ADDRESS, BUS_MONITOR_PACKET_TYPE, BUS_MONITOR_SUMMARIES_PER_SECOND,
                BUS_MONITOR_MAX_SHOWN_BYTES, DEFAULT_UNATTENDED_SECONDS, DEFAULT_UNATTENDED_KILL_SECONDS,
                HANGUP_KILL_SECONDS);
}

bool ParseSeconds(const char *text, double &value) {
    char *end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !(parsed >= 0)) {
        return false;
    }
    value = parsed;
    return true;
}

bool ParseWord(const char *text, uint32_t &value) {
    char *end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 0);
    if (end == text || *end != '\0' || errno != 0 || text[0] == '-' || parsed > 0xFFFFFFFFull) {
        return false;
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

bool ReadWholeFile(const char *path, std::string &content) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

int ValueCount(const std::string &option) { return option == "--send" || option == "--send-file" ? 2 : 1; }

// An address, "id:" and a plugin's ID, or a library's file name.
bool ParseTarget(const std::string &target, OutgoingPacket &packet) {
    const std::string idPrefix = "id:";
    if (target.rfind(idPrefix, 0) == 0) {
        uint32_t id = 0;
        if (!ParseWord(target.c_str() + idPrefix.size(), id)) {
            return false;
        }
        packet.address = AddressOfId(id);
        return true;
    }
    if (ParseWord(target.c_str(), packet.address)) {
        return true;
    }
    // Anything else names a library; a number with a typing error must not.
    if (target.empty() || std::isdigit(static_cast<unsigned char>(target[0])) != 0 ||
        target.find('/') != std::string::npos) {
        return false;
    }
    packet.library = target;
    return true;
}

// Applies one option with its values; returns what is wrong, or "".
std::string ApplyOption(const std::string &option, char **values, StandinOptions &options) {
    if (option == "--send" || option == "--send-file") {
        OutgoingPacket packet;
        if (!ParseTarget(values[0], packet)) {
            return "bad target " + std::string(values[0]) + " (an address, id:ID or a library's file name)";
        }
        const bool fromFile = option == "--send-file";
        if (fromFile ? !ReadWholeFile(values[1], packet.payload) : !DecodeEscapes(values[1], packet.payload)) {
            return (fromFile ? "cannot read " : "bad escape in ") + std::string(values[1]);
        }
        options.packets.push_back(packet);
        return "";
    }
    if (option == "--version") {
        options.version = values[0];
        return "";
    }
    if (option == "--record") {
        options.recordPath = values[0];
        return "";
    }
    if (option == "--plugins" || option == "--emulator") {
        (option == "--plugins" ? options.pluginSources : options.emulator).push_back(values[0]);
        return "";
    }
    uint32_t word = 0;
    if (option == "--restart") {
        if (!ParseWord(values[0], word)) {
            return "bad number for " + option;
        }
        options.restarts = word;
        return "";
    }
    if (option == "--type" || option == "--repeat") {
        if (!ParseWord(values[0], word) || (option == "--repeat" && word == 0)) {
            return "bad number for " + option;
        }
        (option == "--type" ? options.packetType : options.repeat) = word;
        return "";
    }
    if (option == "--excerpt") {
        if (!ParseWord(values[0], word) || word > BUS_MONITOR_MAX_SHOWN_BYTES) {
            return "bad number for --excerpt (0 to " + std::to_string(BUS_MONITOR_MAX_SHOWN_BYTES) + ")";
        }
        options.excerptBytes = word;
        return "";
    }
    double *const seconds = option == "--identity-delay" ? &options.identityDelay
                            : option == "--delay"        ? &options.sendDelay
                            : option == "--interval"     ? &options.interval
                            : option == "--seconds"      ? &options.stopAfter
                            : option == "--close-after"  ? &options.closeAfter
                            : option == "--kill-after"   ? &options.killAfter
                                                         : nullptr;
    if (seconds == nullptr) {
        return "unknown option " + option;
    }
    return ParseSeconds(values[0], *seconds) ? "" : "bad time for " + option;
}

ParseOutcome Mistake(const char *program, const std::string &what) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program, what.c_str(), program);
    return ParseOutcome::Mistake;
}

} // namespace

ParseOutcome ParseStandinOptions(int argc, char **argv, StandinOptions &options) {
    bool demo = true;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const std::string option = argv[i];
        if (option == "-h" || option == "--help") {
            PrintUsage(argv[0]);
            return ParseOutcome::Help;
        }
        if (option == "--no-identity" || option == "--no-demo") {
            (option == "--no-demo" ? demo : options.sendIdentity) = false;
            continue;
        }
        if (option == "--monitor" || option == "--exit-zero") {
            (option == "--monitor" ? options.monitor : options.exitZero) = true;
            continue;
        }
        const int values = ValueCount(option);
        if (i + values >= argc) {
            return Mistake(argv[0], option + " needs a value, and CORE must follow");
        }
        const std::string wrong = ApplyOption(option, argv + i + 1, options);
        if (!wrong.empty()) {
            return Mistake(argv[0], wrong);
        }
        i += values;
    }
    if (i >= argc) {
        return Mistake(argv[0], "no CORE given");
    }
    options.corePath = argv[i++];
    options.coreArguments.assign(argv + i, argv + argc);
    if (options.packets.empty() && demo) {
        options.packets.push_back({DEMO_ADDRESS, "", "hello", true});
    }
    const bool unattended = isatty(STDIN_FILENO) == 0;
    if (options.stopAfter < 0 && options.closeAfter < 0 && unattended) {
        options.stopAfter = DEFAULT_UNATTENDED_SECONDS;
    }
    if (options.killAfter < 0 && unattended) {
        options.killAfter = DEFAULT_UNATTENDED_KILL_SECONDS;
    }
    return ParseOutcome::Run;
}
