#include "FakeHookLibrary.h"

#include <utility>

void FakeHookLibrary::PushEvent(std::int32_t code, std::vector<std::uint8_t> packet, std::uint32_t value) {
    {
        std::lock_guard lock(m_lock);
        m_script.push_back({code, value, std::move(packet)});
    }
    m_changed.notify_all();
}

void FakeHookLibrary::SetClientWindow(std::uint32_t window) {
    std::lock_guard lock(m_lock);
    m_window = window;
}

void FakeHookLibrary::SetState(std::uint8_t state) {
    std::lock_guard lock(m_lock);
    m_state = state;
}

std::vector<std::uint32_t> FakeHookLibrary::Verdicts() const {
    std::lock_guard lock(m_lock);
    return m_verdicts;
}

std::size_t FakeHookLibrary::VerdictCount() const {
    std::lock_guard lock(m_lock);
    return m_verdicts.size();
}

std::vector<FakeHookLibrary::Injection> FakeHookLibrary::Injections() const {
    std::lock_guard lock(m_lock);
    return m_injections;
}

std::vector<std::uint32_t> FakeHookLibrary::RaisedWindows() const {
    std::lock_guard lock(m_lock);
    return m_raised;
}

std::size_t FakeHookLibrary::GetEventCalls() const {
    std::lock_guard lock(m_lock);
    return m_getEventCalls;
}

std::size_t FakeHookLibrary::GetStateCalls() const {
    std::lock_guard lock(m_lock);
    return m_getStateCalls;
}

std::size_t FakeHookLibrary::PendingEvents() const {
    std::lock_guard lock(m_lock);
    return m_script.size();
}

bool FakeHookLibrary::WaitForVerdicts(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, timeout, [&] { return m_verdicts.size() >= count; });
}

bool FakeHookLibrary::WaitForInjections(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, timeout, [&] { return m_injections.size() >= count; });
}

std::uint8_t FakeHookLibrary::GetState() {
    std::lock_guard lock(m_lock);
    ++m_getStateCalls;
    return m_state;
}

std::uint32_t FakeHookLibrary::GetClientWindow() {
    std::lock_guard lock(m_lock);
    return m_window;
}

bool FakeHookLibrary::GetEvent(Event& event) {
    std::unique_lock lock(m_lock);
    ++m_getEventCalls;
    // A short wait keeps an idle pump from spinning while still noticing a stop soon.
    if (!m_changed.wait_for(lock, std::chrono::milliseconds(1), [&] { return !m_script.empty(); }))
        return false;
    Scripted next = std::move(m_script.front());
    m_script.pop_front();
    m_inHand = std::move(next.packet);
    event.code = next.code;
    event.value = next.value;
    event.packet = m_inHand.empty() ? nullptr : m_inHand.data();
    event.length = m_inHand.size();
    return true;
}

void FakeHookLibrary::SetVerdict(std::uint32_t verdict) {
    {
        std::lock_guard lock(m_lock);
        m_verdicts.push_back(verdict);
        // Freed, not cleared, so a handler that kept the bytes past its verdict trips the sanitizer.
        std::vector<std::uint8_t>().swap(m_inHand);
    }
    m_changed.notify_all();
}

void FakeHookLibrary::InjectToClient(const std::uint8_t* data, std::size_t length) {
    {
        std::lock_guard lock(m_lock);
        m_injections.push_back({0, std::vector<std::uint8_t>(data, data + length)});
    }
    m_changed.notify_all();
}

void FakeHookLibrary::InjectToServer(const std::uint8_t* data, std::size_t length) {
    {
        std::lock_guard lock(m_lock);
        m_injections.push_back({1, std::vector<std::uint8_t>(data, data + length)});
    }
    m_changed.notify_all();
}

void FakeHookLibrary::RaiseWindow(std::uint32_t window) {
    std::lock_guard lock(m_lock);
    m_raised.push_back(window);
}

void FakeHookLibrary::SetGameFolder(const std::string& folder) {
    GameFolderListener* listener = nullptr;
    {
        std::lock_guard lock(m_lock);
        m_gameFolder = folder;
        listener = m_folderListener;
    }
    if (listener)
        listener->GameFolderChanged(folder);
}

std::string FakeHookLibrary::GameFolder() {
    std::lock_guard lock(m_lock);
    return m_gameFolder;
}

void FakeHookLibrary::SetGameFolderListener(GameFolderListener* listener) {
    std::lock_guard lock(m_lock);
    m_folderListener = listener;
}
