#pragma once

#include "ScriptSource.h"
#include "SimPeer.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

struct SimOptions {
    std::string socketPath;
    std::uint32_t window = 0x00C0FFEE;
    bool loop = false;
    bool stay = false;
    std::chrono::milliseconds connectTimeout{-1}; // negative: wait for ever
    std::chrono::milliseconds verdictTimeout{5000};
    bool printVerdicts = true;
    bool askAll = false;      // send every packet as an EVENT, watched or not
    std::string script = "-"; // "-": standard input
    std::string gameFolder;   // absolute; empty: none is named
};

inline constexpr int kSimExitDone = 0;
inline constexpr int kSimExitNoProgram = 1;
inline constexpr int kSimExitUsage = 2;

// One run of kestrune-sim: reach the program, play the script (again and again with --loop), then
// with --stay keep serving the connection. Returns the exit status.
class SimSession {
public:
    SimSession(const SimOptions& options, ScriptSource& script);
    int Run();

private:
    bool Reach();
    bool Recover(SimPeer::Outcome outcome);
    bool WaitForInput();
    bool RunLine(std::size_t lineNumber, const std::string& line);

    const SimOptions& m_options;
    ScriptSource& m_script;
    SimPeer m_peer;
    std::uint16_t m_x = 0;
    std::uint16_t m_y = 0;
    std::int8_t m_z = 0;
    int m_exit = kSimExitDone;
    bool m_passDidSomething = false;
};
