// What the administrator's window shows beyond the job and printer menus of old, the same in every
// window: the texts of its boxes and of the question before a printer stops taking jobs.
#pragma once

#include "monitor/QueueAdmin.h"

#include <cstddef>
#include <string>
#include <vector>

namespace quenlo {

namespace texts {
inline constexpr const char* kNoJobToMove = "Nincs kijelölve feladat, amit áthelyezhetne!";
inline constexpr const char* kNoJobToRestart = "Nincs kijelölve feladat, amit újranyomtathatna!";
inline constexpr const char* kNoJobToPrintFirst = "Nincs kijelölve feladat, amit elsőként nyomtathatna!";
inline constexpr const char* kNoJobForDetails = "Nincs kijelölve feladat, aminek a részleteit mutathatná!";
inline constexpr const char* kRejectReasonPrompt =
    "A nyomtató nem fogad több feladatot, amíg újra nem fogadja őket.\rIndok (nem kötelező):";
inline constexpr const char* kDetailsTitle = "A feladat részletei";
inline constexpr const char* kRefusalsOf = " kijelölt feladatból ";
inline constexpr const char* kRefusalsFailed = " kérése nem sikerült:";
}  // namespace texts

// One job of several that a command could not act on: its caption and the box it would have shown.
struct JobRefusal {
    std::string job;
    std::string text;
};

// The one box for a command on several jobs: how many of how many failed, then a line per job, its
// caption and what its own box would have said, on one line.
std::string JobRefusalSummary(std::size_t jobs, const std::vector<JobRefusal>& refusals);

// The details box: its title, then a line "label: text" per detail the server told.
std::string JobDetailsBoxText(const JobDetails& job);

}  // namespace quenlo
