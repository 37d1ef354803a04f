#pragma once

class HookSide;
class ClientWindowRaiser;

// The process-wide objects the dialog works with. They are built before the dialog and outlive
// it (the program's main, or a test fixture, owns them).
struct DialogServices {
    HookSide& hook;             // the catalogue, the observers the dialog installs, the bridge for Play
    ClientWindowRaiser& raiser; // brings the client's window forward for Play
};
