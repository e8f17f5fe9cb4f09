// morfw: the command-line uploader. Argument parsing lives here; the commands are in their own
// files.

#include "cli/Commands.h"
#include "cli/ExitCodes.h"

#include <CLI/CLI.hpp>

#include <cstdio>

namespace {

constexpr const char* EXIT_CODES_TEXT =
    "Exit codes:\n"
    "  0  success\n"
    "  1  the upload failed (a stage ran out of retries or got a wrong reply)\n"
    "  2  usage error (or the log file could not be opened)\n"
    "  3  no usable serial port: it could not be opened, or none was named or found\n"
    "  4  the image set is missing or invalid\n"
    "  5  cancelled (Ctrl-C, SIGTERM or SIGHUP)\n"
    "  6  the upload succeeded, but the --log file could not be written in full\n";

// An empty --images (an unset variable in a script) must not quietly mean the set beside the
// program.
bool RefuseEmptyImages(const CLI::App* pCommand, const std::string& strImages) {
    if (pCommand->count("--images") == 0 || !strImages.empty())
        return false;
    std::fputs("morfw: --images: the image directory is empty; name a directory, or leave the "
               "option out for MorFWImg/ beside the program\n",
               stderr);
    return true;
}

// Who flashes, for which order, where, and what happens with each result: the same options, and
// the same fleet::RecordSettings, for one port, several and the station.
void AddRecordOptions(CLI::App* pCommand, fleet::RecordSettings& trace) {
    pCommand
        ->add_option("--operator", trace.strOperator,
                     "Who flashes the units: named in every log header, in results.csv and in "
                     "the JSON result")
        ->type_name("NAME");
    pCommand
        ->add_option("--work-order", trace.strWorkOrder,
                     "The work order the units are flashed for, named in the same records")
        ->type_name("ID");
    pCommand
        ->add_option("--station", trace.strStation,
                     "This station's name in the same records. Default: the host name")
        ->type_name("NAME");
    pCommand
        ->add_option("--on-result", trace.strOnResult,
                     "Run CMD with /bin/sh once per finished unit: its JSON result object on "
                     "standard input, its main fields in MORFW_PORT, MORFW_STATUS, "
                     "MORFW_EXIT_CODE, ... A command that fails or runs longer than 30 s is "
                     "recorded; the unit's result stands (Linux)")
        ->type_name("CMD");
}

// Several units at once: --port repeated, --ports-from, or --log-dir.
int RunMany(const CLI::App* pUpload, cli::UploadOptions& upload, const std::string& strPortsFrom) {
    if (pUpload->count("--log") > 0) {
        std::fputs("morfw: --log takes one port; with several, --log-dir keeps a log file per "
                   "unit\n",
                   stderr);
        return cli::ToInt(cli::ExitCode::Usage);
    }
    if (pUpload->count("--log-dir") > 0 && upload.strLogDir.empty()) {
        std::fputs("morfw: --log-dir: the directory is empty; name a directory\n", stderr);
        return cli::ToInt(cli::ExitCode::Usage);
    }
    if (pUpload->count("--ports-from") > 0) {
        std::string strError;
        if (!cli::ReadPortList(strPortsFrom, upload.ports, strError)) {
            std::fprintf(stderr, "morfw: %s\n", strError.c_str());
            return cli::ToInt(cli::ExitCode::Usage);
        }
    }
    if (upload.ports.empty()) {
        std::fputs("morfw: --log-dir needs the ports named: --port NAME (repeated) or "
                   "--ports-from FILE\n",
                   stderr);
        return cli::ToInt(cli::ExitCode::Usage);
    }
    return cli::RunFleetUpload(upload);
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Uploads firmware to a Morvane 2000 unit over an RS-232 line.", "morfw"};
    app.set_version_flag("--version", cli::VersionText(), "Print the program's version and exit");
    app.require_subcommand(1);
    app.footer(std::string("Run 'morfw COMMAND --help' for a command's options.\n\n") +
               EXIT_CODES_TEXT);

    cli::UploadOptions upload;
    CLI::App* pUpload = app.add_subcommand("upload", "Upload the image set to a unit");
    pUpload
        ->add_option("-p,--port", upload.ports,
                     "Serial port: a device (/dev/ttyUSB0, /dev/serial/by-id/...) or sim: "
                     "with options for the simulated unit. Default: the one port the "
                     "system lists. Repeated: one unit per port, all at once")
        ->type_name("NAME")
        ->allow_extra_args(false);
    std::string strPortsFrom;
    pUpload
        ->add_option("--ports-from", strPortsFrom,
                     "Also a unit on each port FILE names (one a line; # comments and empty "
                     "lines are skipped)")
        ->type_name("FILE");
    pUpload
        ->add_option("--log-dir", upload.strLogDir,
                     "For each unit a log file in DIR (named by time and port) and a row in "
                     "DIR/results.csv")
        ->type_name("DIR");
    pUpload
        ->add_option("-i,--images", upload.strImages,
                     "Image directory. Default: MorFWImg/ beside the program")
        ->type_name("DIR");
    pUpload->add_flag("--slow", upload.bSlow,
                      "Slow Mode: the boot images go at 738 baud instead of 4800");
    pUpload->add_flag("--relaxed", upload.bRelaxed,
                      "Relaxed Error Checking for the boot images (a last resort; prints a "
                      "warning)");
    pUpload
        ->add_option("--log", upload.strLogFile,
                     "Also append the upload's record to FILE, whole when it ends: header lines "
                     "(date, version, port, options, who flashed where), the log text, the "
                     "result")
        ->type_name("FILE");
    CLI::Option* pJson = pUpload->add_flag(
        "--json", upload.bJson, "One JSON object per line on standard output instead of the text");
    CLI::Option* pQuiet =
        pUpload->add_flag("-q,--quiet", upload.bQuiet, "Print only the result and errors");
    pJson->excludes(pQuiet);
    pUpload->add_flag("--trace", upload.bTrace, "Debug traces on standard error");
    AddRecordOptions(pUpload, upload.trace);
    // How a many-unit run hands each session its record; not for people.
    pUpload->add_option("--unit-record", upload.strUnitRecord)->group("");
    pUpload->footer(EXIT_CODES_TEXT);

    cli::StationOptions station;
    CLI::App* pStation = app.add_subcommand(
        "station", "Flash each unit as it arrives, until Ctrl-C: a serial device that appears, "
                   "a fixture's modem line on a fixed port, or a rehearsal's simulated unit");
    pStation
        ->add_option("--match", station.strMatch,
                     "The devices that are units: a pattern of their paths, e.g. "
                     "'/dev/serial/by-path/*usb-0:1.*' for the sockets of one hub (on Windows "
                     "of COM port names, e.g. 'COM1?'). Default: "
                     "every new /dev/serial/by-id link (every new COM port)")
        ->type_name("GLOB");
    pStation
        ->add_option("--ports-from", station.strPortsFrom,
                     "Fixed adapters instead, one a line (# comments, empty lines skipped)")
        ->type_name("FILE");
    pStation
        ->add_option("--start-on", station.strStartOn,
                     "With --ports-from: the modem line the fixture raises while a unit is "
                     "seated (dcd, dsr or cts); its drop ends the unit's row")
        ->type_name("LINE");
    pStation
        ->add_option("--rehearse", station.strRehearse,
                     "A rehearsal without hardware: N simulated fixtures, on each a unit that "
                     "arrives, is flashed, is taken out and followed by the next, until Ctrl-C. "
                     "Sub-options: seed=S (the units' sim: seeds), fail=K (fixture K's units "
                     "fail part 2), gap=SECONDS (before a unit is taken out and before the next; "
                     "default 2), dir=DIR (the fixtures' files; see the manual)")
        ->type_name("N[,seed=S][,fail=K][,gap=SECONDS][,dir=DIR]");
    pStation
        ->add_option("--log-dir", station.upload.strLogDir,
                     "A log file per unit and a row in DIR/results.csv. Default: morfw-logs "
                     "in the working directory")
        ->type_name("DIR");
    pStation
        ->add_option("-i,--images", station.upload.strImages,
                     "Image directory. Default: MorFWImg/ beside the program")
        ->type_name("DIR");
    pStation->add_flag("--slow", station.upload.bSlow, "Slow Mode for every unit");
    pStation->add_flag("--relaxed", station.upload.bRelaxed,
                       "Relaxed Error Checking for every unit (prints a warning)");
    CLI::Option* pStationJson = pStation->add_flag("--json", station.upload.bJson,
                                                   "One JSON object per line instead of the rows");
    CLI::Option* pStationQuiet =
        pStation->add_flag("-q,--quiet", station.upload.bQuiet, "Print only results and errors");
    pStationJson->excludes(pStationQuiet);
    pStation->add_flag("--trace", station.upload.bTrace, "Debug traces on standard error");
    AddRecordOptions(pStation, station.upload.trace);
    pStation->footer("Ctrl-C, SIGTERM or SIGHUP cancel the running uploads and end the station "
                     "with the day's summary.\n\n" +
                     std::string(EXIT_CODES_TEXT));

    cli::CheckOptions check;
    CLI::App* pCheck = app.add_subcommand(
        "check", "Check an image set without a port: files, sizes, kinds, records, revision");
    pCheck
        ->add_option("-i,--images", check.strImages,
                     "Image directory. Default: MorFWImg/ beside the program")
        ->type_name("DIR");
    pCheck->add_flag("--json", check.bJson, "The report as one JSON object");
    pCheck->footer("Exit codes: 0 the set is valid, 4 it is missing or invalid, 2 usage error.");

    cli::PortsOptions ports;
    CLI::App* pPorts = app.add_subcommand(
        "ports", "List the serial ports with their USB details (vendor and product id, name, "
                 "serial number, /dev/serial/by-id link)");
    pPorts->add_flag("--json", ports.bJson, "The list as one JSON object");
    pPorts->footer("Exit code 0, also when no port is found.");

    cli::DoctorOptions doctor;
    CLI::App* pDoctor = app.add_subcommand(
        "doctor", "Check a serial line for an upload: access, other holders, the adapter, the "
                  "latency timer and, with a loopback plug, the line itself");
    pDoctor
        ->add_option("-p,--port", doctor.strPort,
                     "Serial port: a device or sim: with options. Default: the one port the "
                     "system lists")
        ->type_name("NAME");
    pDoctor->add_flag("--loopback", doctor.bLoopback,
                      "A loopback plug is on the port (TX to RX, RTS to CTS, DTR to DSR and DCD): "
                      "send all 256 byte values at 300, 738, 4800 and 38400 baud and time them, "
                      "send a 1 ms break, and watch the modem lines follow");
    pDoctor->add_flag("--slow", doctor.bSlow,
                      "Judge for Slow Mode too: a line that cannot run 738 baud fails");
    pDoctor->add_flag("--json", doctor.bJson, "The checks as one JSON object");
    pDoctor->footer("Exit codes: 0 the line can carry an upload, 1 a problem makes an upload fail "
                    "on it, 3 the port cannot be opened, 5 cancelled, 2 usage error.");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        // Help and version end with 0; every other parse failure is a usage error.
        return rc == 0 ? 0 : cli::ToInt(cli::ExitCode::Usage);
    }

    if (pUpload->parsed()) {
        if (RefuseEmptyImages(pUpload, upload.strImages))
            return cli::ToInt(cli::ExitCode::Usage);
#if defined(_WIN32)
        if (!upload.trace.strOnResult.empty()) {
            std::fputs("morfw: --on-result needs the Linux build\n", stderr);
            return cli::ToInt(cli::ExitCode::Usage);
        }
#endif
        upload.bPortGiven = !upload.ports.empty();
        const bool bMany = upload.ports.size() > 1 || pUpload->count("--ports-from") > 0 ||
                           pUpload->count("--log-dir") > 0;
        if (!bMany) {
            if (upload.bPortGiven)
                upload.strPort = upload.ports.front();
            return cli::RunUpload(upload);
        }
        return RunMany(pUpload, upload, strPortsFrom);
    }
    if (pStation->parsed()) {
        if (RefuseEmptyImages(pStation, station.upload.strImages))
            return cli::ToInt(cli::ExitCode::Usage);
#if defined(_WIN32)
        if (!station.upload.trace.strOnResult.empty()) {
            std::fputs("morfw: --on-result needs the Linux build\n", stderr);
            return cli::ToInt(cli::ExitCode::Usage);
        }
#endif
        return cli::RunStation(station);
    }
    if (pCheck->parsed()) {
        if (RefuseEmptyImages(pCheck, check.strImages))
            return cli::ToInt(cli::ExitCode::Usage);
        return cli::RunCheck(check);
    }
    if (pPorts->parsed())
        return cli::RunPorts(ports);
    if (pDoctor->parsed()) {
        doctor.bPortGiven = pDoctor->count("--port") > 0;
        return cli::RunDoctor(doctor);
    }
    return cli::ToInt(cli::ExitCode::Usage);
}
