// Status events of a flash run, published on the process-wide event bus so that an observer
// inside the process can follow the run. Each event type is an empty record; publishing
// with no listener does nothing.
#pragma once

struct OpeningODXFile {};
struct FlashingStarted {};
struct FlashingFinished {};
struct FlashingFailed {};
struct UdsCommandTransmitted {};
struct Initialized {};
struct ConfigurationFailed {};
struct ConnectCluster {};
struct ClusterConnected {};
struct ClusterDisconnected {};

void FLASH_NotifyOpeningODXFile();
void FLASH_NotifyFlashingStarted();
void FLASH_NotifyFlashingFinished();
void FLASH_NotifyFlashingFailed();
// Published by the UDS engine each time a request was handed to the transport.
void UDS_NotifyCommandTransmitted();
void FLASH_NotifyInitialized();
void FLASH_NotifyConfigurationFailed();
void FLASH_NotifyCommandConnectCluster();
void FLASH_NotifyClusterConnected();
void FLASH_NotifyClusterDisconnected();
