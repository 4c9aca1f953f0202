// Placeholder until the discovery classes land.
