// Keeps the lab library non-empty until the simulated modules land.
namespace lab_placeholder {
int unused = 0;
}
