#include "audio_port_manager/midi_input_port_manager.h"

#include "audio_port_manager/audio_port_mgr_registry.h"

CMidiInputPortManager::CMidiInputPortManager() : state_(std::make_unique<MidiInputState>()) {}

CMidiInputPortManager::~CMidiInputPortManager() { closeAll(); }

CMidiInputPort* CMidiInputPortManager::openPort(CPortFactory& factory, int id) {
    std::unique_ptr<CMidiInputPort> port = factory.createMidiInputPort(id, *this);
    if (!port || !port->open()) return nullptr;
    ports_.push_back(std::move(port));
    return ports_.back().get();
}

void CMidiInputPortManager::closeAll() {
    for (auto& port : ports_) port->close();
    ports_.clear();
}

void CMidiInputPortManager::applySettings() {
    state_->setReceiveChannel(AudioPortMgrRegistry::getMidiChannel());
    state_->setOmni(true);  // the plug-in always starts in omni mode
}

int CMidiInputPortManager::processEvents(const vst2::Events* events) {
    int queued = 0;
    for (auto& port : ports_) queued += port->processEvents(events);
    return queued;
}
