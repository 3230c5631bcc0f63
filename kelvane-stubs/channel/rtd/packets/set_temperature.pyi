"""An empty module: the set-temperature builder is `kelvane.set_temperature_request`."""
