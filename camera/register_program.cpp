#include "camera/capture_setup.h"

namespace {

// One block of consecutive registers. The registers from first + values_at on take the listed
// values in turn; all others in the block are written as 0.
struct ProgramStep {
    ULONG first;
    ULONG count;
    ULONG values_at;
    const LONG* values;
    ULONG value_count;
    bool timing;  // the words come from the timing table
};

const LONG kStep1[] = {63, 7, 56, 39, 55, 6, 63, 1, 0, 39, 5, 2};
const LONG kStep2[] = {0x01C001, 0x220001, 0x260001, 0x07D002, 0x046003,
                       0x061030, 0x046031, 0x0004E4, 0x3E04E4};
const LONG kStep3[] = {0x0D5001, 0x220001, 0x260001, 0x130002,
                       0x16F009, 0x13000A, 0x0951FF, 0x3E01FF};
const LONG kStep5[] = {8, 3, 0, 0, 0, 0, 8};
const LONG kStep6[] = {0, 1};
const LONG kStep7[] = {9, 0, 6};
const LONG kStep8[] = {59, 2, 0, 55, 3, 2, 43, 9, 0, 39, 10, 2, 1, 0, 0, 2, 0, 1, 3, 0, 0, 4, 0, 0};
const LONG kStep9[] = {36, 1};
const LONG kStep11[] = {10, 0, 0, 0, 31};
const LONG kStep12[] = {32, 1};
const LONG kStep14[] = {11};

const ProgramStep kProgram[] = {
    {35, 12, 0, kStep1, 12, false}, {384, 9, 0, kStep2, 9, false},
    {400, 8, 0, kStep3, 8, false},  {512, 458, 0, nullptr, 0, true},
    {1, 15, 0, kStep5, 7, false},   {33, 2, 0, kStep6, 2, false},
    {47, 16, 0, kStep7, 3, false},  {64, 100, 76, kStep8, 24, false},
    {158, 2, 0, kStep9, 2, false},  {76, 48, 0, nullptr, 0, false},
    {16, 15, 8, kStep11, 5, false}, {25, 2, 0, kStep12, 2, false},
    {25, 2, 0, nullptr, 0, false},  {32, 1, 0, kStep14, 1, false},
};

// The first run of the timing table, registers 512 to 539, as the sensor needs it.
const LONG kFirstTimingRun[] = {0x03200A, 0x07202D, 0x15002F, 0x012030, 0x334031, 0x236032,
                                0x126033, 0x028034, 0x060046, 0x02A058, 0x07C060, 0x162069,
                                0x06406A, 0x02007C, 0x16608D, 0x06808E, 0x12209F, 0x0240A0,
                                0x06A0B2, 0x1500FE, 0x0120FF, 0x076100, 0x030104, 0x070118,
                                0x07411C, 0x13C1DE, 0x03A1DF, 0x3FE1E0};
inline constexpr ULONG kFirstRunLength = sizeof(kFirstTimingRun) / sizeof(kFirstTimingRun[0]);

struct TimingRun {
    ULONG length;
    ULONG closing_count;  // bits 0-11 of the closing word
};

// Runs two to ten: their lengths and the counts of their closing words.
const TimingRun kLaterTimingRuns[] = {{42, 0x780}, {27, 0x780}, {28, 0x780},
                                      {24, 0x780}, {64, 0x690}, {91, 0x930},
                                      {63, 0x930}, {64, 0x930}, {27, 0x1E0}};

inline constexpr ULONG kClosingPattern = 0x3FE;

inline LONG TimingWord(ULONG pattern, ULONG count) {
    return (LONG)(pattern << 12 | count);
}

// The sensor's data for runs two to ten is not at hand, so each is built by the run rule: its
// words step through the signal patterns of the first run in order, at counts spread evenly
// below the closing count (strictly rising, since every run is shorter than its closing count),
// and the run ends with its closing word.
LONG TimingTableWord(ULONG index) {
    if (index < kFirstRunLength) {
        return kFirstTimingRun[index];
    }
    index -= kFirstRunLength;
    for (const TimingRun& run : kLaterTimingRuns) {
        if (index < run.length) {
            if (index == run.length - 1) {
                return TimingWord(kClosingPattern, run.closing_count);
            }
            ULONG pattern = (ULONG)kFirstTimingRun[index % (kFirstRunLength - 1)] >> 12;
            return TimingWord(pattern, run.closing_count * (index + 1) / run.length);
        }
        index -= run.length;
    }
    return 0;
}

}  // namespace

RegisterWrite RegisterProgramWrite(ULONG index) {
    for (const ProgramStep& step : kProgram) {
        if (index < step.count) {
            RegisterWrite write = {step.first + index, 0};
            if (step.timing) {
                write.value = TimingTableWord(index);
            } else if (index >= step.values_at && index - step.values_at < step.value_count) {
                write.value = step.values[index - step.values_at];
            }
            return write;
        }
        index -= step.count;
    }
    return RegisterWrite{0, 0};
}

static_assert(28 + 42 + 27 + 28 + 24 + 64 + 91 + 63 + 64 + 27 == 458);
static_assert(12 + 9 + 8 + 458 + 15 + 2 + 16 + 100 + 2 + 48 + 15 + 2 + 2 + 1 ==
              kRegisterProgramLength);
