// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CommandMemory.h"

#include <algorithm>
#include <ctime>

#include "cli/Language.h"
#include "names/MacVendors.h"
#include "netlink/LinkInterfaces.h"
#include "netlink/NetworkIdentity.h"
#include "scan/Address.h"

namespace talvik::cli {
namespace {

// How long the write after the scan waits for another program holding the store.
constexpr int kWriteWaitMs = 1000;
// How long a row printed as it comes waits for a store another program holds.
constexpr int kLiveWaitMs = 50;

// One network of a run and the hosts asked on it.
struct ScanNetwork {
    store::NetworkId id;
    std::string interfaceName;
    std::uint32_t mask = 0;
    std::uint32_t subnet = 0;
    std::vector<ExportHost*> hosts;
};

std::optional<MacAddress> GatewayMac(const NetworkIdentity& network, const ExportResult& result) {
    if (network.gatewayMac || !network.gateway) {
        return network.gatewayMac;
    }
    // The gateway may have answered the scan itself.
    for (const ExportHost& other : result.hosts) {
        if (other.address == FormatDottedDecimal(*network.gateway) && other.mac) {
            return ParseMacText(*other.mac);
        }
    }
    return std::nullopt;
}

// The networks the answered hosts are on, each with the hosts asked inside it: the subnet of
// the interface each was asked on and its gateway. Asked once per network, not per host.
std::vector<ScanNetwork> NetworksOfScan(ExportResult& result) {
    std::vector<ScanNetwork> networks;
    // Subnets may nest (a /21 routed by another link inside a /15): the host's own interface
    // tells them apart, and else the most specific holds it.
    const auto holding = [&](const ExportHost& host) -> ScanNetwork* {
        const std::uint32_t address = *ParseDottedDecimal(*host.address);
        ScanNetwork* best = nullptr;
        for (ScanNetwork& network : networks) {
            if ((address & network.mask) == network.subnet &&
                (!host.interface || *host.interface == network.interfaceName) &&
                (!best || network.mask > best->mask)) {
                best = &network;
            }
        }
        return best;
    };
    for (const ExportHost& host : result.hosts) {
        if (host.state != ExportState::Answered || !host.address) {
            continue;
        }
        if (holding(host)) {
            continue;
        }
        const auto network = IdentifyNetwork(*ParseDottedDecimal(*host.address));
        if (!network) {
            continue;
        }
        ScanNetwork scanNetwork;
        scanNetwork.id = store::MakeNetworkId(network->address, network->prefixLength,
                                              GatewayMac(*network, result));
        scanNetwork.interfaceName = network->interfaceName;
        scanNetwork.mask =
            network->prefixLength <= 0 ? 0 : ~std::uint32_t{0} << (32 - network->prefixLength);
        scanNetwork.subnet = network->address & scanNetwork.mask;
        networks.push_back(std::move(scanNetwork));
    }
    // Only the targets really asked say anything about a device.
    for (ExportHost& host : result.hosts) {
        if (host.address &&
            (host.state == ExportState::Answered || host.state == ExportState::Silent)) {
            if (ScanNetwork* network = holding(host)) {
                network->hosts.push_back(&host);
            }
        }
    }
    return networks;
}

}  // namespace

bool AddMemory(ExportResult& result, const ScanOptions& options, bool interrupted) {
    if (options.noMemory) {
        return false;
    }
    const store::StoreLocation location = store::LocateStore();
    if (location.path.empty()) {
        if (options.remember) {
            result.notes.push_back(StoreNotice(location.status));
        }
        return options.remember;
    }
    if (!options.remember && !store::DeviceStore::Exists(location.path)) {
        return false;
    }
    store::DeviceStore::Opened opened = options.remember ? store::DeviceStore::Create(location.path)
                                                         : store::DeviceStore::Open(location.path);
    if (!opened.status.Ok()) {
        result.notes.push_back(StoreNotice(opened.status));
    }
    if (!opened.store) {
        return !opened.status.Ok();
    }
    // The scan is over: a store another program holds is waited for only briefly.
    opened.store->SetBusyTimeout(kWriteWaitMs);
    bool failed = false;
    const store::Seconds now = std::time(nullptr);
    for (const ScanNetwork& network : NetworksOfScan(result)) {
        std::vector<store::ScanRow> rows;
        for (const ExportHost* host : network.hosts) {
            rows.push_back({*ParseDottedDecimal(*host->address), host->mac.value_or(""),
                            host->maker.value_or(""), host->hostName.value_or("")});
        }
        const store::ScanWrite write = interrupted
                                           ? opened.store->Compare(network.id, rows, now)
                                           : opened.store->RecordScan(network.id, rows, now);
        if (!write.status.Ok()) {
            // Kept aside and written anew where changes came back; else this network failed.
            result.notes.push_back(StoreNotice(write.status));
            if (write.changes.empty()) {
                failed = true;
                continue;
            }
        }
        for (std::size_t i = 0; i < network.hosts.size() && i < write.changes.size(); ++i) {
            AddMemoryFields(*network.hosts[i], write.changes[i], now);
        }
    }
    return failed;
}

void LiveMemory::Describe(ExportHost& host) {
    if (off_ || !host.address || !host.mac) {
        return;
    }
    if (!opened_) {
        opened_ = true;
        const store::StoreLocation location = store::LocateStore();
        if (!location.path.empty() && store::DeviceStore::Exists(location.path)) {
            store_ = store::DeviceStore::Open(location.path).store;
        }
        if (store_) {
            // A store another program holds must not hold the rows up.
            store_->SetBusyTimeout(kLiveWaitMs);
        }
    }
    if (!store_) {
        return;
    }
    const std::uint32_t address = *ParseDottedDecimal(*host.address);
    // As the end will: the host's own interface tells nested subnets apart.
    const auto known = std::find_if(networks_.begin(), networks_.end(), [&](const auto& entry) {
        return (address & std::get<0>(entry)) == std::get<1>(entry) &&
               host.interface.value_or(std::get<3>(entry)) == std::get<3>(entry);
    });
    const store::NetworkId* network = known == networks_.end() ? nullptr : &std::get<2>(*known);
    if (!network) {
        const auto identity = IdentifyNetwork(address);
        if (!identity) {
            return;
        }
        const std::uint32_t mask =
            identity->prefixLength <= 0 ? 0 : ~std::uint32_t{0} << (32 - identity->prefixLength);
        // A gateway whose MAC only the scan will see names the network at the end; until then
        // its identity is not known, and a guess would call every device new.
        store::NetworkId id;
        if (!identity->gateway || identity->gatewayMac) {
            id = store::MakeNetworkId(identity->address, identity->prefixLength,
                                      identity->gatewayMac);
        }
        networks_.emplace_back(mask, identity->address & mask, std::move(id),
                               identity->interfaceName);
        network = &std::get<2>(networks_.back());
    }
    if (network->subnet.empty()) {
        return;
    }
    const store::ScanRow row{address, *host.mac, host.maker.value_or(""), ""};
    const store::Seconds now = std::time(nullptr);
    const store::ScanWrite compared = store_->Compare(*network, {&row, 1}, now);
    if (compared.status.Ok() && compared.changes.size() == 1) {
        AddMemoryFields(host, compared.changes.front(), now);
    }
}

std::optional<std::string> InterfaceOf(std::uint32_t address) {
    const auto interfaces = ReadLinkInterfaces();
    if (!interfaces) {
        return std::nullopt;
    }
    const LinkChoice choice = ChooseRoute(*interfaces, address);
    if (choice.verdict == LinkVerdict::NotOnLink) {
        return std::nullopt;
    }
    return choice.link.name;
}

void KnownDevicesRead::Read(IArpSender& sender, const TargetList& targets) {
    const store::StoreLocation location = store::LocateStore();
    if (location.path.empty() || !store::DeviceStore::Exists(location.path)) {
        return;
    }
    std::optional<NetworkIdentity> network;
    for (std::size_t row = 0; row < targets.size() && !network; ++row) {
        if (!targets.IsName(row)) {
            network = IdentifyNetwork(targets.Address(row));
        }
    }
    if (!network) {
        return;
    }
    const store::DeviceStore::Opened opened = store::DeviceStore::Open(location.path);
    if (opened.status.problem == store::StoreProblem::Corrupt) {
        said_ = opened.status;
    }
    if (!opened.store) {
        return;
    }
    const store::NetworkDevices known = opened.store->Devices(
        store::MakeNetworkId(network->address, network->prefixLength, network->gatewayMac));
    if (known.status.problem == store::StoreProblem::Corrupt) {
        said_ = known.status;
    }
    std::vector<KnownDevice> devices;
    for (const store::Device& device : known.devices) {
        if (const auto mac = ParseMacText(device.mac); mac && device.address != 0) {
            devices.push_back({device.address, *mac});
        }
    }
    if (known.status.Ok() && !devices.empty()) {
        sender.Remember(devices);
    }
}

}  // namespace talvik::cli
