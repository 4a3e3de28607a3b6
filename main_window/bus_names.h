#pragma once

// Where a running Zembra answers on the session bus.
namespace BusNames {

inline constexpr char Service[] = "org.example.Zembra";
inline constexpr char Object[] = "/org/example/Zembra";
inline constexpr char Interface[] = "org.example.Zembra";

} // namespace BusNames
