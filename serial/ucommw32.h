// The serial link: one port, opened at load, opened again after it is lost,
// and read a block at a time.
#pragma once

#include <cstdint>

// Settings; the start block overwrites the first two before `ouvrecom`.
extern const char* nomport;   // device name for CreateFileA
extern const char* modeport;  // line mode in BuildCommDCBA's syntax
extern std::uint16_t delai;   // ms: the port's read and write time-outs

// Holds the driver's whole 256-byte input queue in one read.
constexpr std::uint32_t tailletampon = 256;
// Open attempts are at least this far apart, in GetTickCount milliseconds.
constexpr std::uint32_t intervalleouverture = 1000;

// What the serial unit can say of a block of bytes.
enum class verdict : std::uint8_t {
    propre,   // as the driver received them
    suspect,  // waiting when the driver reported a receive error: bytes may
              // be garbled or missing, also in the line in progress
    perdu,    // the port stopped answering; its handle is closed
};

struct bloc {
    const std::uint8_t* octets;  // valid until the next `litbloc`
    std::uint32_t nombre;
    verdict etat;
    bool dernier;  // nothing more to take now: the drain ends here
};

// The step at which the latest open attempt failed, and the system's error
// code then; `aucune` if it succeeded. For a technician's diagnosis.
enum class etape : std::uint8_t {
    aucune,
    creation,   // CreateFileA: no such port, or another program holds it
    files,      // SetupComm
    lecture,    // GetCommState
    mode,       // BuildCommDCBA: the mode string does not parse
    reglage,    // SetCommState: the driver refused the settings
    delais,     // SetCommTimeouts
};
extern etape echecouverture;
extern std::uint32_t erreurouverture;

// Opens and configures the port; on any failed step the port is closed and
// false returned. Each call counts as an attempt for `rouvrecom`.
bool ouvrecom();
// While the port is closed, tries `ouvrecom` again once a second has passed
// since the last attempt. True if the port is open afterwards.
bool rouvrecom();
void fermecom();
bool portouvert();

// One status query and, if bytes wait, one read of them. A failed query or
// read loses the port.
bloc litbloc();
