// Subcommands of the updater-lab program; each returns the process exit code.
#pragma once

int LabModulesMain(int argc, char** argv);     // "modules": simulated modules and routers
int LabServerMain(int argc, char** argv);      // "server": the lab update server
int LabDemoConfigMain(int argc, char** argv);  // "demo-config": the lab that `make demo` runs
int LabUsbMain(int argc, char** argv);         // "usb": lab modules on an emulated USB bus
int LabLpcMain(int argc, char** argv);         // "lpc": an NXP LPC17xx boot ROM behind a pty
int LabImxMain(int argc, char** argv);         // "imx": an i.MX RT1050 boot ROM (pty and USB HID)
int LabImxLoaderMain(int argc, char** argv);   // "imx-loader": writes a lab i.MX recovery loader
