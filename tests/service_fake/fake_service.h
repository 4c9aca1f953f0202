#pragma once
// The scripted device-service client that device tests link in place of the real one.
