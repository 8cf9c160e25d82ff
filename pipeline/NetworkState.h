#pragma once
// The connection check of the downloaders: what the platform says, unless the `network_state`
// setting says "online" or "offline" (for tests and for machines whose interfaces mislead).

bool IsInternetConnected();
