// Placeholder until this part of the device-service client lands.
