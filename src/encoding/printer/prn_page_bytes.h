#pragma once
// Byte cores of the page-mode, layout and sound commands. Each appends one
// command and answers 0; the ranges are checked by the entry points.
#include <cstdint>
#include <vector>

namespace tilo2::core {

// Command byte of a line style 0..5 (Thin .. ThickDouble); 1 for any other.
uint8_t PrnLineStyleParam(int style);

void PrnPageBeginBytes(std::vector<uint8_t>& out);
void PrnPageEndBytes(std::vector<uint8_t>& out);
void PrnPageAreaBytes(std::vector<uint8_t>& out, int x, int y, int width, int height);
void PrnPageDirectionBytes(std::vector<uint8_t>& out, int direction);
void PrnPositionXBytes(std::vector<uint8_t>& out, int x);
void PrnPositionYBytes(std::vector<uint8_t>& out, int y);
void PrnPageLineBytes(std::vector<uint8_t>& out, int x1, int y1, int x2, int y2, int style);
void PrnPageRectangleBytes(std::vector<uint8_t>& out, int x1, int y1, int x2, int y2, int style);

// Layout types 0 receipt, 1 die-cut label, 2 label with black marks,
// 3 receipt with black marks; values are adjusted to what the type uses.
void PrnLayoutBytes(std::vector<uint8_t>& out, int type, long height, long marginTop,
                    long offsetCut, long offsetLabel, long marginBottom, long width);
void PrnFeedPositionBytes(std::vector<uint8_t>& out, int position);

void PrnPulseBytes(std::vector<uint8_t>& out, int drawer, int pulse);
void PrnBuzzerBytes(std::vector<uint8_t>& out, int pattern, int repeat);
void PrnBuzzerRealtimeBytes(std::vector<uint8_t>& out);
void PrnSoundBytes(std::vector<uint8_t>& out, int pattern, int repeat, int cycle);
void PrnSoundImpactBytes(std::vector<uint8_t>& out, int pattern, int repeat);

}  // namespace tilo2::core
