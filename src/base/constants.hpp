// Geometry and names shared by every subsystem of the host.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace kinra2 {

inline constexpr int SR = 16000;             // audio sample rate (Hz), mono
inline constexpr int FPS = 20;               // output frame rate
inline constexpr int SPF = SR / FPS;         // 800 samples per video frame
inline constexpr int STEADY_PX = 32;         // frames per steady chunk
inline constexpr int SPC = STEADY_PX * SPF;  // 25600 samples per steady chunk
inline constexpr int WIN_SAMPLES = 44000;    // audio window cut per chunk
inline constexpr int TEMPO_SAMPLES = 35200;  // window after the tempo change
inline constexpr int CHUNK0_LAT = 6;         // latent steps of a session's first chunk
inline constexpr int STEADY_LAT = 8;         // latent steps of every later chunk
inline constexpr int PRESENT_DELAY_FRAMES = 1;

inline constexpr int LC = 16;          // latent channels
inline constexpr int LH = 90;          // latent height
inline constexpr int LW = 52;          // latent width
inline constexpr int CTX = 16;         // latent history positions
inline constexpr int NA = 16;          // audio tokens per latent step
inline constexpr int CA = 384;         // width of one audio token
inline constexpr int FH = 720;         // frame height
inline constexpr int FW = 416;         // frame width
inline constexpr int PLANE = LH * LW;  // 4680
inline constexpr std::size_t RGB_FRAME_BYTES = std::size_t{FH} * FW * 3;  // 898560

inline constexpr int SR_WSOLA_SEGMENT = 1312;
inline constexpr int SR_WSOLA_OVERLAP = 192;
inline constexpr int SR_WSOLA_SEARCH = 235;

inline constexpr std::array<std::string_view, 5> SIGS = {"enc", "tok14", "step", "dec16", "dec8"};

inline constexpr std::string_view COMBINED_MEMBER = "combined_litert.tflite";
inline constexpr std::string_view Q8GD_MEMBER = "combined_litert_q8gd.tflite";
inline constexpr std::string_view Q8GD_HEADER_KEY = "litert_q8gd";
inline constexpr std::string_view Q8GD_ENV = "KINRA2_Q8GD";
inline constexpr std::array<std::string_view, 2> INT8_DOT_FLAGS = {"avx512_vnni", "avx_vnni"};
inline constexpr std::string_view Q8GD_LOG = "[q8gd]";
inline constexpr std::string_view COLOR_MEMBER = "color.json";
inline constexpr std::string_view COLOR_ENV = "KINRA2_COLOR_CORRECT";
inline constexpr std::string_view COLOR_LOG_PREFIX = "colour-correct:";
inline constexpr std::string_view RGB_THREADS_ENV = "KINRA2_RGB_THREADS";

}  // namespace kinra2
