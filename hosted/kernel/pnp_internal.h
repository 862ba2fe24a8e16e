// Shared state of the plug-and-play and power managers.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"

namespace hosted::detail {

struct PnpNode {
    PDEVICE_OBJECT pdo = nullptr;     // nullptr once the bus has deleted it
    PDEVICE_OBJECT parent = nullptr;  // the bus device that reported it
    std::string instance;
    DeviceState state = DeviceState::Enumerated;
    std::string service;              // function driver with a device on this stack ("" none)
    std::vector<std::string> hardwareIds, compatibleIds;
    DEVICE_CAPABILITIES caps{};
    ULONG pnpState = 0;
};

struct PnpDriver {
    std::string service;
    PDRIVER_INITIALIZE entry = nullptr;
    std::vector<std::string> ids;
    Pnp::DeviceInstaller install;  // may be empty
    std::unique_ptr<DriverHost> host;
    int devices = 0;
};

struct PnpRequest {
    std::function<NTSTATUS()> fn;
    KEVENT* done = nullptr;
    NTSTATUS* result = nullptr;
};

struct PnpManager {
    std::mutex m;  // guards the members below; never held across a driver call or a wait
    std::deque<PnpRequest> queue;
    KEVENT work{};  // synchronization: something was queued
    KEVENT idle{};  // notification: queue empty, nothing running
    bool started = false, busy = false, stop = false;
    Thread thread;
    ThreadState* threadState = nullptr;
    std::vector<std::unique_ptr<PnpNode>> nodes;  // enumeration order: parents before children
    std::map<PDEVICE_OBJECT, std::string> rootBuses;
    std::vector<std::unique_ptr<PnpDriver>> drivers;
    std::vector<IrpRecord> log;
    std::vector<DriverRecord> driverLog;
};

PnpManager* PnpIfRunning();
// Run `fn` on the manager thread and wait for its result (directly when
// called on the manager thread).
NTSTATUS PnpRun(std::function<NTSTATUS()> fn);
// Queue `fn` for the manager thread without waiting.
void PnpPost(std::function<NTSTATUS()> fn);
void StopPnpManager();
void LogIrp(IrpRecord record);
std::string InstanceOf(PDEVICE_OBJECT pdo);
NTSTATUS SendPnpIrp(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup,
                    const std::string& params, ULONG_PTR* information, ULONG_PTR initialInformation = 0);
void Rescan(PDEVICE_OBJECT parent);
void PnpInvalidateRelations(PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type);
void PnpInvalidateState(PDEVICE_OBJECT pdo);
std::vector<PnpNode*> StartedNodes(bool leavesFirst);
std::string PowerParams(const PIO_STACK_LOCATION sp);

// Work items (workitem.cpp).
void CheckWorkItemsAtUnload(PDRIVER_OBJECT driver, const std::string& service);
size_t WorkItemsOf(Lock& lock, PDEVICE_OBJECT device);

}  // namespace hosted::detail
