// Placeholder until the signal object lands.
