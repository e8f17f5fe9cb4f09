// What the Linux drivers do with breaks, 738 baud and received bytes: one row per adapter chip
// (or family), each fact with the kernel source it was read from. The first row that matches a
// port decides; a port no row matches gets Unknown verdicts. A Windows port matches by its USB
// vendor where a Linux port matches by its driver, so that both get the chip's verdicts.
// docs/adapters.md explains the rows.
#include "serial/AdapterInfo.h"

#include <cctype>
#include <cstdio>
#include <string_view>

namespace {

struct FACT {
    VERDICT verdict;
    const char* pszReason;
    const char* pszFix;
    const char* pszSource;
};

// Facts that depend on what the port shows are worked out when judging; the row's fact stands
// when the port does not show it.
enum class LATENCY_RULE { Fact, FtdiTimer };     // FtdiTimer: from the latency_timer attribute
enum class RATE_RULE { Fact, UartClock };        // UartClock: the divisor of the UART's clock
enum class BREAK_RULE { Fact, AcmCapabilities }; // from a CDC-ACM device's bmCapabilities
enum class TIMER_ATTR { Any, Present, Absent };

// A chip maker's adapters: the Linux drivers that serve them, and the USB vendor ids that tell
// them on Windows, where the drivers are the maker's own. Where the maker's vendor id also
// names chips of another kind, the family's vendor:product ids name its own on Windows.
struct FAMILY {
    const char* pszDrivers;
    const char* pszVendors;
    const char* pszUsbIds = nullptr; // "1a86:7523 ...", or nullptr: every product of the vendors
};

struct ADAPTER_ROW {
    const char* pszChip = nullptr; // nullptr: the UART type's name
    // What the port must show; nullptr and -1 match anything. Lists are separated by spaces.
    const FAMILY* pFamily = nullptr;
    const char* pszProducts = nullptr;   // idProduct values
    const char* pszBcdDevices = nullptr; // bcdDevice values, four hex digits
    int nBcdMin = -1;                    // or a bcdDevice range, both ends included
    int nBcdMax = -1;
    const char* pszUsbVersions = nullptr; // bcdUSB values: "1.10"
    int nInterface = -1;
    const char* pszProductPrefix = nullptr; // the product string starts with it
    TIMER_ATTR timer = TIMER_ATTR::Any;
    bool bUart8250 = false;       // a built-in UART of the 8250 family
    const FACT* pFacts = nullptr; // kAdapterNeeds of them, in ADAPTER_NEED order
    LATENCY_RULE latency = LATENCY_RULE::Fact;
    RATE_RULE rate = RATE_RULE::Fact;
    BREAK_RULE breaks = BREAK_RULE::Fact;
};

constexpr VERDICT kOk = VERDICT::Ok;
constexpr VERDICT kProblem = VERDICT::Problem;
constexpr VERDICT kUnknown = VERDICT::Unknown;

// What to use instead of an adapter that loses the unit's breaks. PL2303s mark received breaks
// too coarsely (see below); the doctor's loopback shows what any other adapter keeps.
constexpr const char* kUseFtdiForBreaks =
    "use an FTDI adapter, or one whose break check passes in morfw doctor --loopback";
constexpr const char* kSlowModeFtdi = "if Slow Mode fails, use an FTDI adapter";

// --- FTDI (ftdi_sio) --------------------------------------------------------------------------

constexpr const char* kFtdiRateSource = "drivers/usb/serial/ftdi_sio.c: get_ftdi_divisor";
constexpr const char* kFtdiTimerSource =
    "drivers/usb/serial/ftdi_sio.c: latency_timer_show, set_serial_info, write_latency_timer";

constexpr const char* kFtdiWindowsTimerSource =
    "FTDI's Windows driver: the port's LatencyTimer value (the device key's Device Parameters)";

constexpr FACT kFtdiSends{kOk, "ftdi_sio sets and clears the chip's break on request", "",
                          "drivers/usb/serial/ftdi_sio.c: ftdi_break_ctl"};
constexpr FACT kFtdiReceives{kOk,
                             "ftdi_sio marks a received break on the 0x00 byte that comes with it",
                             "", "drivers/usb/serial/ftdi_sio.c: ftdi_process_packet"};
constexpr FACT kFtdiRate{kOk, "ftdi_sio computes the divisor: 738 baud runs at 738.0", "",
                         kFtdiRateSource};
constexpr FACT kFtdiTimerUnread{kUnknown, "the latency_timer attribute cannot be read", "",
                                kFtdiTimerSource};

constexpr FACT kFtdi[] = {kFtdiSends, kFtdiReceives, kFtdiRate, kFtdiTimerUnread};
constexpr FACT kFtdi232A[] = {
    kFtdiSends,
    kFtdiReceives,
    kFtdiRate,
    {kProblem, "the FT8U232AM has no latency timer: it hands over received bytes every 16 ms",
     "use an FTDI adapter with a latency timer (FT232R, FT-X, FT232H)",
     "drivers/usb/serial/ftdi_sio.c: write_latency_timer, the FT8U232AM note"}};
constexpr FACT kFtdiSio[] = {kFtdiSends,
                             {kUnknown, "the SIO reports its line status in a format of its own",
                              "", "drivers/usb/serial/ftdi_sio.c: ftdi_get_modem_status"},
                             {kProblem,
                              "the SIO runs standard rates only: ftdi_sio sets 9600 baud for 738",
                              "for Slow Mode use an FT232R or newer FTDI adapter",
                              "drivers/usb/serial/ftdi_sio.c: get_ftdi_divisor (case SIO)"},
                             {kUnknown, "the SIO has no latency timer", "",
                              "drivers/usb/serial/ftdi_sio.c: write_latency_timer"}};
constexpr FACT kFtdiOther[] = {kFtdiSends,
                               kFtdiReceives,
                               {kUnknown, "this FTDI part (its bcdDevice) is not in the table",
                                kSlowModeFtdi, kFtdiRateSource},
                               kFtdiTimerUnread};

// --- Silicon Labs CP210x (cp210x) ------------------------------------------------------------

constexpr const char* kCpRateSource =
    "drivers/usb/serial/cp210x.c: cp210x_init_max_speed, cp210x_change_speed";
constexpr const char* kCpBreakSource = "drivers/usb/serial/cp210x.c: cp210x_break_ctl";

constexpr FACT kCpSends{kOk, "cp210x sets and clears the chip's break on request", "",
                        kCpBreakSource};
constexpr FACT kCpSendsUnnamed{
    kUnknown, "the part is not named: all CP210x but the CP2105's second port send breaks",
    "if the unit never answers, use an FTDI adapter", kCpBreakSource};
constexpr FACT kCpReceives{
    kUnknown,
    "cp210x reports a break only in the chip's event mode, which morfw's INPCK turns on; some "
    "CP210x pass a break on as a plain 0x00",
    "if the unit's answers go unseen, use an FTDI adapter",
    "drivers/usb/serial/cp210x.c: cp210x_set_termios, cp210x_process_lsr; commit a7207e9835a4"};
constexpr FACT kCpComputed{kOk, "cp210x computes this part's divisor: 738 baud runs at 738.0", "",
                           kCpRateSource};
constexpr FACT kCpTable{kProblem,
                        "cp210x rounds this part's rate to a fixed table: 738 baud becomes 1200, "
                        "so Slow Mode cannot work",
                        "for Slow Mode use an FTDI adapter or a CP2102N or CP2104",
                        "drivers/usb/serial/cp210x.c: cp210x_change_speed, cp210x_get_an205_rate"};
constexpr FACT kCpRateUnnamed{kUnknown,
                              "the part is not named: cp210x runs 738 baud on a CP2102N or "
                              "CP2104 but 1200 on a CP2102 or CP2103",
                              kSlowModeFtdi, kCpRateSource};
constexpr FACT kCpLatency{kUnknown,
                          "cp210x has no latency setting: the chip decides when it hands over "
                          "received bytes",
                          "", "drivers/usb/serial/cp210x.c"};

constexpr FACT kCpRateOk[] = {kCpSends, kCpReceives, kCpComputed, kCpLatency};
constexpr FACT kCpRateTable[] = {kCpSends, kCpReceives, kCpTable, kCpLatency};
constexpr FACT kCpPartUnnamed[] = {kCpSends, kCpReceives, kCpRateUnnamed, kCpLatency};
constexpr FACT kCpOther[] = {kCpSendsUnnamed, kCpReceives, kCpRateUnnamed, kCpLatency};
constexpr FACT kCp2105Sci[] = {
    {kProblem,
     "the CP2105's second port has no break: cp210x refuses it (older ones send a stray byte)",
     "use the CP2105's first port, or an FTDI adapter", kCpBreakSource},
    kCpReceives,
    {kProblem, "the CP2105's second port runs 2400 baud and up: cp210x sets 2400 for 738",
     "use the CP2105's first port, or an FTDI adapter", kCpRateSource},
    kCpLatency};

// --- WCH CH340/CH341 (ch341) -----------------------------------------------------------------

constexpr FACT kCh34x[] = {
    {kUnknown,
     "chips without a break register get a fake one: 0x00 at 46 baud (about 196 ms, fixed), "
     "which corrupts what arrives meanwhile",
     kUseFtdiForBreaks, "drivers/usb/serial/ch341.c: ch341_detect_quirks, ch341_simulate_break"},
    {kProblem, "ch341 never reports a received break, so every answer of the unit goes unseen",
     kUseFtdiForBreaks,
     "drivers/usb/serial/ch341.c: ch341_update_status; ch341_device has no process_read_urb"},
    {kOk, "ch341 computes the divisor: 738 baud runs at 738.2", "",
     "drivers/usb/serial/ch341.c: ch341_get_divisor"},
    {kUnknown, "ch341 has no latency setting; some CH341A hold received bytes until 32 have come",
     "", "drivers/usb/serial/ch341.c: ch341_set_baudrate_lcr"}};

// --- Prolific PL2303 (pl2303) ----------------------------------------------------------------

constexpr const char* kPlRateSource = "drivers/usb/serial/pl2303.c: pl2303_encode_baud_rate";

constexpr FACT kPlSends{kOk, "pl2303 sets and clears the chip's break on request", "",
                        "drivers/usb/serial/pl2303.c: pl2303_set_break"};
constexpr FACT kPlSendsMaybe{
    kUnknown,
    "genuine PL2303HXD send breaks but copies refuse them; pl2303 tells them apart only when it "
    "binds",
    "if the unit never answers, use an FTDI adapter",
    "drivers/usb/serial/pl2303.c: pl2303_is_hxd_clone, pl2303_set_break"};
constexpr FACT kPlReceives{
    kProblem,
    "pl2303 marks every byte of the read that brings a received break as a break, so the answer "
    "bytes that come with the unit's break are lost",
    kUseFtdiForBreaks,
    "drivers/usb/serial/pl2303.c: pl2303_update_line_status, pl2303_process_read_urb; "
    "drivers/tty/n_tty.c: n_tty_receive_break"};
constexpr FACT kPlDivisor{kOk,
                          "pl2303 encodes 738 baud with a divisor on this type: it runs at 738.2",
                          "", kPlRateSource};
constexpr FACT kPlDirect{kUnknown,
                         "pl2303 hands 738 to PL2303G chips as it is; whether they run it is the "
                         "chip's affair",
                         kSlowModeFtdi, kPlRateSource};
constexpr FACT kPlTaOrG{kUnknown,
                        "this bcdDevice is a PL2303TA/TB (divisor, 738 works) or a PL2303G (738 "
                        "handed over as it is)",
                        kSlowModeFtdi, "drivers/usb/serial/pl2303.c: pl2303_detect_type"};
constexpr FACT kPlTypeUnknown{kUnknown, "the PL2303 type is not in the table", kSlowModeFtdi,
                              "drivers/usb/serial/pl2303.c: pl2303_detect_type"};
constexpr FACT kPlLatency{kUnknown,
                          "pl2303 has no latency setting: the chip decides when it hands over "
                          "received bytes",
                          "", "drivers/usb/serial/pl2303.c"};

constexpr FACT kPl[] = {kPlSends, kPlReceives, kPlDivisor, kPlLatency};
constexpr FACT kPlHxd[] = {kPlSendsMaybe, kPlReceives, kPlDivisor, kPlLatency};
constexpr FACT kPlG[] = {kPlSends, kPlReceives, kPlDirect, kPlLatency};
constexpr FACT kPlTa[] = {kPlSends, kPlReceives, kPlTaOrG, kPlLatency};
constexpr FACT kPlOther[] = {kPlSendsMaybe, kPlReceives, kPlTypeUnknown, kPlLatency};

// --- USB CDC-ACM devices (cdc_acm): WCH CH343 and CH9102, microcontrollers' own ports -------
// What the device declares in its ACM functional descriptor decides (cdc_acm's bmCapabilities
// attribute; AcmVerdicts); the facts here stand when the attribute cannot be read.

constexpr const char* kAcmSource = "drivers/usb/class/cdc-acm.c";
constexpr FACT kAcmUnread{kUnknown, "the device's bmCapabilities attribute cannot be read", "",
                          kAcmSource};
constexpr FACT kAcm[] = {
    kAcmUnread,
    kAcmUnread,
    kAcmUnread,
    {kUnknown,
     "cdc_acm has no latency setting: the device decides when it hands over received bytes", "",
     kAcmSource}};

// --- Built-in UARTs (serial8250 and kin) -----------------------------------------------------

constexpr const char* kUartRateSource =
    "drivers/tty/serial/serial_core.c: uart_get_divisor; 8250_port.c: serial8250_get_divisor";

constexpr FACT kUart[] = {
    {kOk, "the UART sends a break for as long as it is asked", "",
     "drivers/tty/serial/8250/8250_port.c: serial8250_break_ctl"},
    {kOk, "serial8250 marks a received break (the line status's BI bit)", "",
     "drivers/tty/serial/8250/8250_port.c: serial8250_read_char"},
    {kUnknown, "the UART's clock (uartclk) is not known", "", kUartRateSource},
    {kOk, "no USB in between: the UART's FIFO hands bytes over within 4 character times", "",
     "drivers/tty/serial/8250/8250_port.c: serial8250_handle_irq"}};

constexpr FAMILY kFtdiFamily{"ftdi_sio", "0403"};
constexpr FAMILY kCpFamily{"cp210x", "10c4"};
// WCH's vendor id also names its CDC-ACM chips (CH343, CH9102), which are no CH34x: on Windows
// only ch341.c's own ids count.
constexpr FAMILY kChFamily{"ch341-uart ch341", "1a86 4348 9986 2184",
                           "1a86:5523 1a86:7522 1a86:7523 4348:5523 9986:7523 2184:0057"};
constexpr FAMILY kAcmFamily{"cdc_acm", ""};
constexpr FAMILY kPlFamily{"pl2303", "067b"};

const ADAPTER_ROW kRows[] = {
    // ftdi_determine_type tells the chip from bcdDevice (and binds no other value from 0x0200
    // up); an FT232B whose serial number string is missing reports 0x0200 like an FT232A, but
    // has the latency timer.
    {.pszChip = "SIO",
     .pFamily = &kFtdiFamily,
     .nBcdMin = 0,
     .nBcdMax = 0x01ff,
     .pFacts = kFtdiSio},
    {.pszChip = "FT232B",
     .pFamily = &kFtdiFamily,
     .pszBcdDevices = "0200",
     .timer = TIMER_ATTR::Present,
     .pFacts = kFtdi,
     .latency = LATENCY_RULE::FtdiTimer},
    {.pszChip = "FT232A", .pFamily = &kFtdiFamily, .pszBcdDevices = "0200", .pFacts = kFtdi232A},
    {.pszChip = "FT232B",
     .pFamily = &kFtdiFamily,
     .pszBcdDevices = "0400",
     .pFacts = kFtdi,
     .latency = LATENCY_RULE::FtdiTimer},
    {.pszChip = "FT2232C/D",
     .pFamily = &kFtdiFamily,
     .pszBcdDevices = "0500",
     .pFacts = kFtdi,
     .latency = LATENCY_RULE::FtdiTimer},
    {.pszChip = "FT232R",
     .pFamily = &kFtdiFamily,
     .pszBcdDevices = "0600",
     .pFacts = kFtdi,
     .latency = LATENCY_RULE::FtdiTimer},
    {.pszChip = "FT2232H",
     .pFamily = &kFtdiFamily,
     .pszBcdDevices = "0700",
     .pFacts = kFtdi,
     .latency = LATENCY_RULE::FtdiTimer},
    {.pszChip = "FT4232H",
     .pFamily = &kFtdiFamily,
     .pszBcdDevices = "0800",
     .pFacts = kFtdi,
     .latency = LATENCY_RULE::FtdiTimer},
    {.pszChip = "FT232H",
     .pFamily = &kFtdiFamily,
     .pszBcdDevices = "0900",
     .pFacts = kFtdi,
     .latency = LATENCY_RULE::FtdiTimer},
    {.pszChip = "FT-X",
     .pFamily = &kFtdiFamily,
     .pszBcdDevices = "1000",
     .pFacts = kFtdi,
     .latency = LATENCY_RULE::FtdiTimer},
    {.pszChip = "FT-HP/HA",
     .pFamily = &kFtdiFamily,
     .pszBcdDevices = "2800 2900 3000 3100 3200 3300 3600",
     .pFacts = kFtdi,
     .latency = LATENCY_RULE::FtdiTimer},
    {.pszChip = "FTDI",
     .pFamily = &kFtdiFamily,
     .pFacts = kFtdiOther,
     .latency = LATENCY_RULE::FtdiTimer},

    // cp210x asks the chip for its part number; sysfs shows only the product string, which
    // names the part unless the maker changed it. 10c4:ea60 is CP2101 to CP2104 and CP2102N.
    {.pszChip = "CP2102N",
     .pFamily = &kCpFamily,
     .pszProducts = "ea60",
     .pszProductPrefix = "CP2102N",
     .pFacts = kCpRateOk},
    {.pszChip = "CP2104",
     .pFamily = &kCpFamily,
     .pszProducts = "ea60",
     .pszProductPrefix = "CP2104",
     .pFacts = kCpRateOk},
    {.pszChip = "CP2102",
     .pFamily = &kCpFamily,
     .pszProducts = "ea60",
     .pszProductPrefix = "CP2102",
     .pFacts = kCpRateTable},
    {.pszChip = "CP2103",
     .pFamily = &kCpFamily,
     .pszProducts = "ea60",
     .pszProductPrefix = "CP2103",
     .pFacts = kCpRateTable},
    {.pszChip = "CP2101",
     .pFamily = &kCpFamily,
     .pszProducts = "ea60",
     .pszProductPrefix = "CP2101",
     .pFacts = kCpRateTable},
    {.pszChip = "CP210x", .pFamily = &kCpFamily, .pszProducts = "ea60", .pFacts = kCpPartUnnamed},
    {.pszChip = "CP2105",
     .pFamily = &kCpFamily,
     .pszProducts = "ea70",
     .nInterface = 0,
     .pFacts = kCpRateOk},
    {.pszChip = "CP2105 (second port)",
     .pFamily = &kCpFamily,
     .pszProducts = "ea70",
     .nInterface = 1,
     .pFacts = kCp2105Sci},
    {.pszChip = "CP2108", .pFamily = &kCpFamily, .pszProducts = "ea71", .pFacts = kCpRateTable},
    {.pszChip = "CP210x", .pFamily = &kCpFamily, .pFacts = kCpOther},

    {.pszChip = "CH340", .pFamily = &kChFamily, .pszProducts = "7523", .pFacts = kCh34x},
    {.pszChip = "CH340K", .pFamily = &kChFamily, .pszProducts = "7522", .pFacts = kCh34x},
    {.pszChip = "CH341", .pFamily = &kChFamily, .pszProducts = "5523", .pFacts = kCh34x},
    {.pszChip = "CH34x", .pFamily = &kChFamily, .pFacts = kCh34x},

    // pl2303_detect_type: bcdUSB 1.1 is H, HX or HXD (0x0400); bcdUSB 2.0 is TA or TB, which
    // share 0x0300 and 0x0500 with two G types, or G (HXN).
    {.pszChip = "PL2303HXD",
     .pFamily = &kPlFamily,
     .pszBcdDevices = "0400",
     .pszUsbVersions = "1.10 1.01",
     .pFacts = kPlHxd},
    {.pszChip = "PL2303HX", .pFamily = &kPlFamily, .pszUsbVersions = "1.10 1.01", .pFacts = kPl},
    {.pszChip = "PL2303TA/GT",
     .pFamily = &kPlFamily,
     .pszBcdDevices = "0300",
     .pszUsbVersions = "2.00",
     .pFacts = kPlTa},
    {.pszChip = "PL2303TB/GE",
     .pFamily = &kPlFamily,
     .pszBcdDevices = "0500",
     .pszUsbVersions = "2.00",
     .pFacts = kPlTa},
    {.pszChip = "PL2303G",
     .pFamily = &kPlFamily,
     .pszBcdDevices = "0100 0105 0305 0400 0405 0505 0600 0605 0700 0705 0905 1005",
     .pszUsbVersions = "2.00",
     .pFacts = kPlG},
    {.pszChip = "PL2303", .pFamily = &kPlFamily, .pFacts = kPlOther},

    {.pszChip = "CDC-ACM",
     .pFamily = &kAcmFamily,
     .pFacts = kAcm,
     .breaks = BREAK_RULE::AcmCapabilities},

    // Serial core numbers the 8250 family's UART types 1 to 30 (include/uapi/linux/
    // serial_core.h); 23 is an infrared receiver.
    {.bUart8250 = true, .pFacts = kUart, .rate = RATE_RULE::UartClock},
};

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// Whether the space-separated list holds the word; an empty word is never in it.
bool InList(const char* pszList, std::string_view word) {
    std::string_view list(pszList);
    while (!word.empty() && !list.empty()) {
        const size_t n = list.find(' ');
        if (EqualNoCase(list.substr(0, n), word))
            return true;
        list = n == std::string_view::npos ? std::string_view() : list.substr(n + 1);
    }
    return false;
}

bool InFamily(const FAMILY& family, const ADAPTER_INFO& info) {
    if (info.source == ADAPTER_SOURCE::SetupApi) {
        if (family.pszUsbIds)
            return info.bUsb &&
                   InList(family.pszUsbIds, info.strVendorId + ":" + info.strProductId);
        return info.bUsb && InList(family.pszVendors, info.strVendorId);
    }
    return InList(family.pszDrivers, info.strDriver);
}

bool IsUart8250(int nType) {
    return nType >= 1 && nType <= 30 && nType != 23;
}

std::string Hex4(int n) {
    char sz[8];
    std::snprintf(sz, sizeof sz, "%04x", static_cast<unsigned>(n) & 0xffffU);
    return sz;
}

bool Matches(const ADAPTER_ROW& row, const ADAPTER_INFO& info) {
    if (row.bUart8250 && !IsUart8250(info.nUartType))
        return false;
    if (row.pFamily && !InFamily(*row.pFamily, info))
        return false;
    if (row.pszProducts && !InList(row.pszProducts, info.strProductId))
        return false;
    if (row.pszBcdDevices &&
        (info.nBcdDevice < 0 || !InList(row.pszBcdDevices, Hex4(info.nBcdDevice))))
        return false;
    if (row.nBcdMin >= 0 && (info.nBcdDevice < row.nBcdMin || info.nBcdDevice > row.nBcdMax))
        return false;
    if (row.pszUsbVersions && !InList(row.pszUsbVersions, info.strUsbVersion))
        return false;
    if (row.nInterface >= 0 && info.nInterface != row.nInterface)
        return false;
    if (row.pszProductPrefix && !info.strProduct.starts_with(row.pszProductPrefix))
        return false;
    if (row.timer == TIMER_ATTR::Present && info.nLatencyTimerMs < 0)
        return false;
    if (row.timer == TIMER_ATTR::Absent && info.nLatencyTimerMs >= 0)
        return false;
    return true;
}

const ADAPTER_ROW* FindRow(const ADAPTER_INFO& info) {
    for (const auto& row : kRows) {
        if (Matches(row, info))
            return &row;
    }
    return nullptr;
}

// The names of 8250_port.c's uart_config[] for the common types.
const char* UartTypeName(int nType) {
    switch (nType) {
    case 1:
        return "8250";
    case 2:
        return "16450";
    case 3:
        return "16550";
    case 4:
        return "16550A";
    case 8:
        return "TI16750";
    case 10:
        return "16C950/954";
    case 14:
        return "NS16550A";
    default:
        return "8250-family UART";
    }
}

std::string Format(const char* pszFormat, double a, double b = 0) {
    char sz[160];
    std::snprintf(sz, sizeof sz, pszFormat, a, b);
    return sz;
}

// ftdi_sio shows 1 while the low-latency flag is set (latency_timer_show), and morfw sets the
// flag whenever it opens a port (CTermiosLine::SetQueueSizes); the timer's own value only counts
// for other programs. On Windows FTDI's driver takes the timer from the port's settings, which
// morfw does not change: there a longer timer slows every load record.
ADAPTER_VERDICT FtdiTimerVerdict(const ADAPTER_INFO& info) {
    const int nMs = info.nLatencyTimerMs;
    ADAPTER_VERDICT v;
    v.need = ADAPTER_NEED::ReceiveLatency;
    v.verdict = VERDICT::Ok;
    v.strReason = "latency timer " + std::to_string(nMs) + " ms";
    if (info.source == ADAPTER_SOURCE::SetupApi) {
        v.strSource = kFtdiWindowsTimerSource;
        if (nMs > 1) {
            v.verdict = VERDICT::Problem;
            v.strReason += ": FTDI's driver holds received bytes that long, and every load "
                           "record waits for it twice";
            v.strFix = FtdiLatencyFix(info);
        }
        return v;
    }
    v.strSource = kFtdiTimerSource;
    if (nMs > 1)
        v.strReason += " now; morfw sets the low-latency flag when it opens the port, which "
                       "makes it 1 ms";
    return v;
}

// The divisor serial core gives the UART for 738 baud: its clock over 16, rounded.
ADAPTER_VERDICT UartClockVerdict(unsigned long nClock) {
    ADAPTER_VERDICT v;
    v.need = ADAPTER_NEED::Rate738;
    v.strSource = kUartRateSource;
    const unsigned long long nStep = 16ULL * 738;
    const unsigned long long nQuot = (nClock + nStep / 2) / nStep;
    if (nQuot == 0 || nQuot > 0xffff) {
        v.verdict = VERDICT::Problem;
        v.strReason = Format("the UART's clock (%.0f Hz) has no divisor for 738 baud",
                             static_cast<double>(nClock));
        v.strFix = "for Slow Mode use another port or an FTDI adapter";
        return v;
    }
    const double dActual = static_cast<double>(nClock) / static_cast<double>(16 * nQuot);
    const double dError = (dActual > 738 ? dActual - 738 : 738 - dActual) / 738;
    // 2 %: what the line accepts when it reads the rate back (Termios2ApplyFrame).
    v.verdict = dError <= 0.02 ? VERDICT::Ok : VERDICT::Problem;
    v.strReason = Format("divisor %.0f of the UART's clock: 738 baud runs at %.1f",
                         static_cast<double>(nQuot), dActual);
    if (v.verdict == VERDICT::Problem)
        v.strFix = "for Slow Mode use another port or an FTDI adapter";
    return v;
}

// A CDC-ACM device's breaks and rate, from the capabilities its ACM descriptor declares: D2
// SEND_BREAK, which cdc_acm needs to send a break (acm_tty_break_ctl: newer kernels refuse
// without it, 6.1 sends a request the device does not take); D1 line coding and the serial-state
// notification, which carries the device's received break (acm_process_notification turns it
// into a break, apart from the data and not ordered with it).
void AcmVerdicts(int nCaps, std::vector<ADAPTER_VERDICT>& verdicts) {
    char szCaps[48];
    std::snprintf(szCaps, sizeof szCaps, "bmCapabilities 0x%02x", static_cast<unsigned>(nCaps));
    const std::string strD1 = " (" + std::string(szCaps) + ", bit D1 clear)";
    const std::string strD2 = " (" + std::string(szCaps) + ", bit D2";
    const bool bSendBreak = (nCaps & 0x04) != 0;
    const bool bLine = (nCaps & 0x02) != 0;
    const auto set = [&](ADAPTER_NEED need, VERDICT verdict, std::string strReason,
                         std::string strFix, const char* pszSource) {
        ADAPTER_VERDICT& v = verdicts[static_cast<int>(need)];
        v.verdict = verdict;
        v.strReason = std::move(strReason);
        v.strFix = std::move(strFix);
        v.strSource = pszSource;
    };
    if (bSendBreak)
        set(ADAPTER_NEED::SendsBreak, kOk,
            "the device declares SEND_BREAK" + strD2 + "): cdc_acm asks it for each break", "",
            "drivers/usb/class/cdc-acm.c: acm_tty_break_ctl, acm_send_break");
    else
        set(ADAPTER_NEED::SendsBreak, kProblem,
            "the device declares no SEND_BREAK" + strD2 + " clear): no break reaches the line",
            "use an FTDI adapter", "drivers/usb/class/cdc-acm.c: acm_tty_break_ctl");
    if (bLine) {
        set(ADAPTER_NEED::ReceivesBreak, kUnknown,
            "cdc_acm passes on a break the device reports in its serial-state notification, apart "
            "from the data; whether this device reports one, morfw doctor --loopback shows",
            "if the unit's answers go unseen, use an FTDI adapter",
            "drivers/usb/class/cdc-acm.c: acm_process_notification");
        set(ADAPTER_NEED::Rate738, kUnknown,
            "cdc_acm hands 738 to the device as it is (SET_LINE_CODING); whether it runs it is "
            "the device's affair",
            kSlowModeFtdi, "drivers/usb/class/cdc-acm.c: acm_tty_set_termios");
    } else {
        set(ADAPTER_NEED::ReceivesBreak, kProblem,
            "the device declares no serial-state notification" + strD1 +
                ", the only way cdc_acm hears of a received break",
            "use an FTDI adapter", "drivers/usb/class/cdc-acm.c: acm_process_notification");
        set(ADAPTER_NEED::Rate738, kProblem,
            "the device declares no SET_LINE_CODING" + strD1 + ": its rate cannot be set",
            "use an FTDI adapter", "drivers/usb/class/cdc-acm.c: acm_tty_set_termios");
    }
}

// Why a port no row matches gets Unknown: what the table would have gone by.
std::string UnknownReason(const ADAPTER_INFO& info) {
    if (info.source == ADAPTER_SOURCE::SetupApi) {
        if (info.strHardwareId.empty())
            return "SetupAPI lists no device for this port";
        if (info.bUsb)
            return "the table has nothing on USB device " + info.strVendorId + ":" +
                   info.strProductId;
        return "the table has nothing on " + info.strHardwareId;
    }
    return info.strDriver.empty() ? "the port's driver is not known"
                                  : "the table has nothing on driver " + info.strDriver;
}

} // namespace

std::string AdapterChip(const ADAPTER_INFO& info) {
    const ADAPTER_ROW* pRow = FindRow(info);
    if (!pRow)
        return "";
    return pRow->pszChip ? pRow->pszChip : UartTypeName(info.nUartType);
}

bool IsFtdiAdapter(const ADAPTER_INFO& info) {
    return InFamily(kFtdiFamily, info);
}

std::string FtdiLatencyFix(const ADAPTER_INFO& info) {
    if (info.source == ADAPTER_SOURCE::SetupApi)
        return "set it to 1 ms: Device Manager, the port's Properties, Port Settings, Advanced, "
               "Latency Timer (msec)";
    const std::string strTty = info.strTty.empty() ? "ttyUSB0" : info.strTty;
    return "echo 1 > /sys/bus/usb-serial/devices/" + strTty + "/latency_timer (as root)";
}

std::vector<ADAPTER_VERDICT> JudgeAdapter(const ADAPTER_INFO& info) {
    const ADAPTER_ROW* pRow = FindRow(info);
    std::vector<ADAPTER_VERDICT> verdicts;
    for (int i = 0; i < kAdapterNeeds; ++i) {
        ADAPTER_VERDICT v;
        v.need = static_cast<ADAPTER_NEED>(i);
        if (pRow) {
            const FACT& fact = pRow->pFacts[i];
            v.verdict = fact.verdict;
            v.strReason = fact.pszReason;
            v.strFix = fact.pszFix;
            v.strSource = fact.pszSource;
        } else {
            v.verdict = VERDICT::Unknown;
            v.strReason = UnknownReason(info);
        }
        verdicts.push_back(std::move(v));
    }
    if (pRow && pRow->latency == LATENCY_RULE::FtdiTimer && info.nLatencyTimerMs >= 0)
        verdicts[static_cast<int>(ADAPTER_NEED::ReceiveLatency)] = FtdiTimerVerdict(info);
    if (pRow && pRow->rate == RATE_RULE::UartClock && info.nUartClock > 0)
        verdicts[static_cast<int>(ADAPTER_NEED::Rate738)] = UartClockVerdict(info.nUartClock);
    if (pRow && pRow->breaks == BREAK_RULE::AcmCapabilities && info.nAcmCapabilities >= 0)
        AcmVerdicts(info.nAcmCapabilities, verdicts);
    return verdicts;
}

const char* AdapterNeedName(ADAPTER_NEED need) {
    switch (need) {
    case ADAPTER_NEED::SendsBreak:
        return "sends_break";
    case ADAPTER_NEED::ReceivesBreak:
        return "receives_break";
    case ADAPTER_NEED::Rate738:
        return "rate_738";
    case ADAPTER_NEED::ReceiveLatency:
        return "receive_latency";
    }
    return "";
}

const char* AdapterNeedText(ADAPTER_NEED need) {
    switch (need) {
    case ADAPTER_NEED::SendsBreak:
        return "sending a break";
    case ADAPTER_NEED::ReceivesBreak:
        return "receiving a break";
    case ADAPTER_NEED::Rate738:
        return "738 baud (Slow Mode)";
    case ADAPTER_NEED::ReceiveLatency:
        return "receive latency";
    }
    return "";
}

const char* VerdictName(VERDICT verdict) {
    switch (verdict) {
    case VERDICT::Ok:
        return "ok";
    case VERDICT::Problem:
        return "problem";
    case VERDICT::Unknown:
        return "unknown";
    }
    return "";
}
