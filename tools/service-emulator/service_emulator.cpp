// Placeholder until the device-service emulator lands.
