#pragma once

class SoundCatalogue;
class HookBridge;
class HookLibrary;
class ClientWindowRaiser;
class PacketHandlerTable;
class ActiveDialog;
class PlayerPosition;
class PacketHandler;

// The process-wide objects the dialog works with. They are built before the dialog and outlive
// it (the program's main, or a test fixture, owns them).
struct DialogServices {
    SoundCatalogue& catalogue;
    HookBridge& bridge;
    HookLibrary& hookLibrary;       // GetClientWindow for Play
    ClientWindowRaiser& raiser;     // brings the client's window forward for Play
    PacketHandlerTable& handlers;   // the dialog installs its observers here
    ActiveDialog& activeDialog;
    PlayerPosition& playerPosition; // read by Play
    PacketHandler& soundObserver;   // slot 0x54
    PacketHandler& playerObserver;  // slot 0x20
};
