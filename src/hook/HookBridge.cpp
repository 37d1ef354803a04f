#include "HookBridge.h"

#include "CodePage.h"
#include "OutboundPackets.h"

#include <cstring>
#include <new>
#include <pthread.h>
#include <system_error>
#include <vector>

HookBridge::HookBridge(HookLibrary& library, const PacketHandlerTable& handlers)
    : m_library(library), m_handlers(handlers) {}

HookBridge::~HookBridge() {
    Stop();
}

void HookBridge::Start() {
    if (m_pump.joinable() || m_injection.joinable())
        return;
    eventCode = 0;
    eventValue = 0;
    currentPacket = {};
    verdict = 0;
    stopRequested.store(0);
    m_builder.Reset();
    // A thread that cannot be started is not reported: the bridge then simply does less.
    try {
        m_pump = std::thread(&HookBridge::HookPumpThread, this);
    } catch (const std::system_error&) {
    }
    try {
        m_injection = std::thread(&HookBridge::InjectionThread, this);
    } catch (const std::system_error&) {
    }
}

void HookBridge::Stop() {
    stopRequested.store(1);
    m_library.Wake();
    m_queue.Wake();
    if (m_pump.joinable())
        m_pump.join();
    if (m_injection.joinable())
        m_injection.join();
    m_queue.DiscardAll();
}

void HookBridge::HookPumpThread() {
    pthread_setname_np(pthread_self(), "hook-pump"); // for top, gdb and the idle measurement
    while (!stopRequested.load()) {
        HookLibrary::Event event;
        const bool delivered = m_library.GetEvent(event);
        m_library.GetState();
        if (delivered) {
            eventCode = event.code;
            eventValue = event.value;
            currentPacket = event.packet ? PacketBytes(event.packet, event.length) : PacketBytes();
            verdict = 0;
            if ((eventCode == kPacketFromServer || eventCode == kPacketFromClient) && !currentPacket.empty())
                m_handlers.HandlerFor(currentPacket[0]).HandlePacket(*this);
            m_library.SetVerdict(verdict);
            currentPacket = {}; // the library may reuse the bytes from here on
        }
        std::this_thread::yield();
    }
}

void HookBridge::InjectionThread() {
    pthread_setname_np(pthread_self(), "hook-inject");
    while (!stopRequested.load()) {
        // One packet per cycle; sleeps until an append or the stop's wake-up.
        std::unique_ptr<OutboundPacket> packet = m_queue.WaitAndTakeOldest();
        if (!packet)
            continue;
        switch (packet->direction) {
        case 0:
            m_library.InjectToClient(packet->data, packet->length);
            break;
        case 1:
            m_library.InjectToServer(packet->data, packet->length);
            break;
        default:
            break; // unknown direction: freed unsent
        }
    }
    m_queue.DiscardAll();
}

void HookBridge::QueuePacket(const std::uint8_t* data, std::size_t length) {
    if (length > OutboundPacket::kCapacity || (data == nullptr && length != 0))
        return;
    std::unique_ptr<OutboundPacket> packet;
    try {
        packet = std::make_unique<OutboundPacket>();
    } catch (const std::bad_alloc&) {
        return; // out of memory: this packet is dropped, the queue goes on
    }
    packet->direction = 0;
    packet->length = static_cast<std::uint32_t>(length);
    if (length != 0)
        std::memcpy(packet->data, data, length);
    m_queue.Append(std::move(packet));
}

void HookBridge::QueueSystemMessage(std::string_view text, const std::string& codePage) {
    std::vector<std::uint8_t> message;
    try {
        message = BuildSystemMessage(text, codePage);
    } catch (const std::bad_alloc&) {
        return;
    }
    if (!message.empty())
        QueuePacket(message.data(), message.size());
}

void HookBridge::QueueSystemMessage(std::string_view text) {
    QueueSystemMessage(text, SystemCodePage());
}
