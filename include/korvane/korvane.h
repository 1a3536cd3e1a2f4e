/*
 * korvane.h - host library for CNC motion controllers running the Korvane firmware.
 *
 * The library talks to one controller per connection over a serial port. Every export is a
 * plain C function; all of them except Korvane_GetLastError and Korvane_GetVersion return a
 * ResultCode (0 for success). A failing call leaves a human-readable message in its
 * connection, which Korvane_GetLastError returns. Results 1 and 9 never store a message;
 * a successful call leaves the previous message in place. Out-parameters are written only
 * when the result is KORVANE_SUCCESS.
 *
 * Threads: any host thread may call any export. On one connection the conversations with
 * the controller are serialised, so concurrent calls queue and never interleave bytes on the
 * wire; a call may wait for the one before it. The stop bytes of Korvane_FeedHold,
 * Korvane_Resume, Korvane_EmergencyStop and Korvane_VelocityStop are the exception: they go
 * onto the wire at once, between two lines but never inside one, also while another call
 * waits for a reply or a homing cycle runs. Korvane_Home lets other calls through between its
 * polls. Korvane_Disconnect must not overlap any other call on the same handle.
 *
 * Replies: a controller answers lines in the order it reads them. The library counts, for
 * every line it writes, the replies the controller owes for it (one per line end the
 * controller sees: learnt at connect) and books each "ok" or "error:" against the oldest
 * line still owed one. A command is settled only by its own reply; a late reply of an
 * earlier command, a timed-out one included, pays that command's debt and is never taken for
 * a later one. Before a command line is written, the replies still owed are awaited up to the
 * command's own limit; if they never come, the command fails with KORVANE_TIMEOUT and
 * "Controller out of step: replies to earlier commands never came", and the count starts
 * afresh (the next command is unaffected). A line written just before a jog cancel may be
 * dropped unread by some controllers: its debt is written off once the machine is seen at
 * rest and the reply has not come within 300 ms plus twice the slowest reply seen so far. An
 * "ok" or "error:" that arrives when nothing is owed is dropped; it settles nothing and does
 * not change what was learnt at connect (a single stray reply must not make every later
 * command wait for one that never comes). After a refusal the library writes an empty line,
 * which clears the error that some controllers otherwise repeat for the next command.
 * A line command is also held back while the machine slows down after a jog cancel: a
 * controller reads no line before it stands, and would run it afterwards.
 *
 * Controller errors and alarms: where a message quotes the controller's "error:N" or
 * "ALARM:N" line, a listed N is followed by its meaning in brackets, for example
 * "Firmware error: error:15 (the jog would travel outside the machine's soft limits)"; the
 * quoted line comes first, so a match on the text before the brackets keeps working. Numbers
 * the library does not list (newer controllers send more) and any other line stay bare.
 *
 * Numbers: positions, distances and settings are sent with three decimals ("%.3f", the
 * nearest decimal to the float's exact value) and feeds as whole numbers truncated toward
 * zero. The decimal separator is always '.', whatever locale the host has set.
 */
#ifndef KORVANE_KORVANE_H
#define KORVANE_KORVANE_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

/* KORVANE_VERSION_MAJOR, _MINOR, _PATCH and KORVANE_VERSION_STRING. */
#include "korvane_version.h"

#if defined(_WIN32)
/* The platform's standard calling convention; names stay undecorated through the .def file. */
#define KORVANE_CALL __stdcall
#if defined(KORVANE_BUILDING_LIBRARY)
#define KORVANE_API
#else
#define KORVANE_API __declspec(dllimport)
#endif
#else
#define KORVANE_CALL
#if defined(KORVANE_BUILDING_LIBRARY)
#define KORVANE_API __attribute__((visibility("default")))
#else
#define KORVANE_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** Opaque handle of one open connection, created by Korvane_Connect. */
typedef struct KorvaneDevice* DeviceHandle;

/** Result of every export except Korvane_GetLastError and Korvane_GetVersion. */
typedef int32_t ResultCode;

#define KORVANE_SUCCESS 0           /**< The call did what it was asked. */
#define KORVANE_NOT_CONNECTED 1     /**< The connection's port is not open. No message. */
#define KORVANE_ALREADY_CONNECTED 2 /**< Reserved; no export returns it. */
#define KORVANE_PORT_OPEN_FAILED 3  /**< Opening the port failed; see Korvane_Connect for why. */
#define KORVANE_WRITE_FAILED 4      /**< A write to the port failed or was short. */
#define KORVANE_TIMEOUT 5           /**< No conclusive reply within the time limit. */
#define KORVANE_VELOCITY_ACTIVE 6   /**< Refused: velocity mode runs on this connection. */
#define KORVANE_FIRMWARE_ERROR 7    /**< The controller answered with an error or an alarm. */
#define KORVANE_INVALID_ARGUMENT 8  /**< Null pointer or value out of range; see below. */
#define KORVANE_INVALID_HANDLE 9    /**< Null handle. No message. */
#define KORVANE_RESOURCE_FAILURE 10 /**< Allocation or thread creation failed. */

/*
 * Result 8 always leaves a message (Korvane_Connect excepted: it hands out no handle to read
 * one from) naming the refused argument, as the parameter is spelt here, its value, and what
 * it accepts, in one wording:
 *
 *   Invalid <argument>: <value> (accepted: <accepted values>)
 *
 * for example "Invalid feed: 0 (accepted: at least 1 and below 2147483648)". Numbers are
 * shown as the shortest decimal that is the same float ("0.05", "1e+30", "nan", "-inf"), null
 * pointers as "null". The arguments and what they accept:
 *
 *   axis            0..5 (x, y, z, a, b, c); Korvane_Home also -1 (all)
 *   feed            at least 1 and below 2147483648 (NaN and infinity are neither)
 *   position, distance, maxTravel, homingPosition
 *                   a finite number
 *   acceleration    a finite number greater than 0
 *   velocity        a magnitude of at least 0.1 and below 2147483648
 *   length          1 or more
 *   state, positions, feed, limits, buffer (out-pointers)
 *                   a non-null pointer
 *
 * When several arguments are refused, the first in the parameter list is named. The korvane
 * tool refuses the same values with the same words before it calls the library.
 */

/** Machine state taken from the first field of a status report. */
typedef int32_t MachineState;

#define KORVANE_STATE_UNKNOWN 0 /**< Not a state a successful call ever reports. */
#define KORVANE_STATE_IDLE 1
#define KORVANE_STATE_RUN 2
#define KORVANE_STATE_JOG 3
#define KORVANE_STATE_HOLD 4
#define KORVANE_STATE_ALARM 5
#define KORVANE_STATE_HOME 6
#define KORVANE_STATE_SLEEP 7
#define KORVANE_STATE_DOOR 8
#define KORVANE_STATE_CHECK 9

/** Axis indexes: 0..5 select x, y, z, a, b, c. Korvane_Home also takes -1 for all axes. */
#define KORVANE_AXIS_ALL (-1)

/* ---------------------------------------------------------------------------------------
 * Connection
 * ------------------------------------------------------------------------------------- */

/**
 * Opens a connection and proves that a controller answers before handing out a handle.
 *
 * Opens the port exclusively at @p baudRate, 8 data bits, no parity, one stop bit, with no
 * software (XON/XOFF) nor hardware (RTS/CTS, DSR/DTR) flow control and no input processing at
 * all (a stray XOFF byte, or a CTS line left low, would otherwise stop every write, the
 * emergency stop included); DTR and RTS are asserted and left steady (many boards reset on a
 * DTR change). The settings are read back and any that did not take fails the open. Then it
 * discards anything buffered and sends a status query ("?") every 250 ms until the controller
 * answers with a status report, within 3000 ms: a board that resets when the port opens, or
 * ignores its input for a while, is waited for, and a welcome banner is passed over.
 * Finally it writes one empty line and counts the replies (up to 500 ms for the first), to
 * learn whether the controller takes CR and LF as one line end or two. On Windows a line error
 * (framing, overrun) does not stop later reads and writes.
 *
 * @param portName  Port name. Windows: "COM3" and the like (the device path "\\.\" + name is
 *                  cut to 63 characters). Linux: an absolute path is used as is (for example
 *                  a /dev/serial/by-id/ name of any length), any other name gets "/dev/" in
 *                  front of it.
 * @param baudRate  Line speed in bits per second.
 * @param outHandle Receives the new handle on success; untouched on every failure.
 * @return KORVANE_SUCCESS;
 *         KORVANE_INVALID_ARGUMENT when @p portName or @p outHandle is null;
 *         KORVANE_RESOURCE_FAILURE when the connection object cannot be allocated;
 *         KORVANE_PORT_OPEN_FAILED when the port is missing, held by another program, not a
 *         serial device, its name cannot be converted, or the line settings or time-outs
 *         are refused (they are read back: a driver that took only some of them fails too);
 *         KORVANE_TIMEOUT when the port opened but no status report came within 3000 ms
 *         (also for an error reply or a failed probe write); the port is closed again.
 *
 * A failed connect hands out no handle: its message is read with Korvane_GetLastError(NULL)
 * on the thread that called Korvane_Connect, and stays until that thread's next connect.
 * KORVANE_INVALID_ARGUMENT leaves "Invalid portName: null (accepted: a non-null pointer)" (or
 * outHandle), KORVANE_RESOURCE_FAILURE "Out of memory for the connection", KORVANE_TIMEOUT
 * "Timeout waiting for a controller: no status report within 3000 ms; check the cable, the
 * port and the baud rate", and KORVANE_PORT_OPEN_FAILED "Port open failed: <port>: <why>" and,
 * when a system call failed, its error code in a last part that programs may parse:
 * " (errno N)" on Linux, " (Windows error N)" on Windows (the message always ends with it;
 * a long port name is shortened to "..." and its end so that nothing is cut). <port> is the
 * path opened on Linux and the name given on Windows. <why> is one of:
 *   "no such port"                                  (errno ENOENT, ENOTDIR, ENXIO, ENODEV;
 *                                                    Windows error 2, 3, 123, 161 or 55)
 *   "in use: another program or connection holds it" (errno EWOULDBLOCK from the lock every
 *                                                    connection takes, or EBUSY; Windows
 *                                                    error 5, 32 or 170)
 *   "permission denied; join the group '<group>' and log in again" (errno EACCES or EPERM,
 *                                                    when the device is open to a group other
 *                                                    than root's), otherwise
 *   "permission denied; ask for read and write access to it"
 *   "not a serial device"                           (errno ENOTTY, /dev/null for example;
 *                                                    Windows: the error of GetCommState)
 *   "<baud> baud refused"                           (the error of tcsetattr or SetCommState;
 *                                                    no code for a rate Linux does not offer
 *                                                    or one below 1)
 *   "the driver did not keep <baud> baud, 8N1 without flow control" (read back differently)
 *   "the driver refused the read and write time-outs" (Windows)
 *   or the system's own words for any other error, with its code.
 * A name that is empty, not valid Unicode or too long for a path gives "Port open failed: the
 * port name is empty, not valid Unicode, or too long", without a code.
 */
KORVANE_API ResultCode KORVANE_CALL Korvane_Connect(const wchar_t* portName, int32_t baudRate,
                                                    DeviceHandle* outHandle);

/**
 * Closes a connection: ends velocity mode as Korvane_VelocityStop does (the jog-cancel byte
 * 0x85 whenever velocity mode was started and not stopped, even if its worker has ended by
 * itself), closes the port and frees everything. The handle is invalid afterwards.
 * Must not overlap any other call on the same handle.
 *
 * @return KORVANE_SUCCESS, or KORVANE_INVALID_HANDLE for a null handle.
 */
KORVANE_API ResultCode KORVANE_CALL Korvane_Disconnect(DeviceHandle handle);

/**
 * Returns the message of the most recent failure on the connection ("" if none).
 *
 * The text is copied (at most 255 characters) into a buffer of the calling thread and stays
 * valid until the same thread calls Korvane_GetLastError again. Never returns null.
 *
 * @return the message; for a null handle, the message of the calling thread's most recent
 *         Korvane_Connect if that failed (see Korvane_Connect), otherwise
 *         "Invalid handle".
 */
KORVANE_API const char* KORVANE_CALL Korvane_GetLastError(DeviceHandle handle);

/**
 * Returns the library version, KORVANE_VERSION_STRING of the headers it was built with
 * ("major.minor.patch"), as constant static text. Needs no connection.
 */
KORVANE_API const char* KORVANE_CALL Korvane_GetVersion(void);

/* ---------------------------------------------------------------------------------------
 * Status queries and device identity
 *
 * Each status query sends "?" and waits up to 500 ms for a fresh status report; none of them
 * answers from a cache. Results shared by the four status queries:
 *   KORVANE_SUCCESS; KORVANE_INVALID_HANDLE; KORVANE_INVALID_ARGUMENT (null out-pointer);
 *   KORVANE_NOT_CONNECTED; KORVANE_WRITE_FAILED ("Serial write failed");
 *   KORVANE_TIMEOUT ("Timeout waiting for response");
 *   KORVANE_FIRMWARE_ERROR ("Firmware error: <the controller's error line>").
 * None of them is refused while velocity mode runs.
 * ------------------------------------------------------------------------------------- */

/** Reads the machine state (KORVANE_STATE_IDLE .. KORVANE_STATE_CHECK) into @p state. */
KORVANE_API ResultCode KORVANE_CALL Korvane_GetState(DeviceHandle handle, int32_t* state);

/**
 * Reads the axis positions. All six floats are written, in the order the report lists them;
 * positions the report did not carry are 0.0.
 *
 * @param positions Array of 6 floats; required.
 * @param count     Optional (may be null): receives how many positions the report carried.
 */
KORVANE_API ResultCode KORVANE_CALL Korvane_GetPosition(DeviceHandle handle, float* positions,
                                                        int32_t* count);

/** Reads the current feed (0.0 when the report carries no feed field) into @p feed. */
KORVANE_API ResultCode KORVANE_CALL Korvane_GetSpeed(DeviceHandle handle, float* feed);

/** Reads the four limit values (0 for each one the report does not carry) into @p limits. */
KORVANE_API ResultCode KORVANE_CALL Korvane_GetLimits(DeviceHandle handle, int32_t* limits);

/**
 * Asks the controller for its device UUID ("$device_uuid") and copies the answer: the text
 * after the first '=' of the reply line, or the whole line if it has none.
 *
 * The value is cut to @p length - 1 characters; the rest of the buffer is zero-filled and the
 * last byte is always zero. Nothing is written outside the buffer.
 *
 * @return KORVANE_SUCCESS; KORVANE_INVALID_HANDLE; KORVANE_NOT_CONNECTED;
 *         KORVANE_INVALID_ARGUMENT when @p buffer is null or @p length is 0 (checked after
 *         the connection, so a closed one gives KORVANE_NOT_CONNECTED first);
 *         KORVANE_WRITE_FAILED ("Serial write failed");
 *         KORVANE_TIMEOUT ("Timeout waiting for UUID", after 2000 ms without an answer);
 *         KORVANE_FIRMWARE_ERROR ("Firmware error: <line>").
 */
KORVANE_API ResultCode KORVANE_CALL Korvane_GetDeviceUUID(DeviceHandle handle, char* buffer,
                                                          size_t length);

/* ---------------------------------------------------------------------------------------
 * Motion and settings
 *
 * Order of checks: null handle (9), velocity mode running (6, "Velocity mode is active; stop
 * it first", even for an invalid axis), axis outside 0..5 (8), value tests (8, in the order
 * of the parameters, with the message described at result 8). Nothing is
 * written when a check fails. Each command waits for the controller's "ok" and a fresh status
 * report; other results: KORVANE_NOT_CONNECTED; KORVANE_WRITE_FAILED ("Serial write failed
 * for: <command>"); KORVANE_TIMEOUT ("Timeout waiting for response"), which can also mean the
 * command was accepted but no status report followed; KORVANE_FIRMWARE_ERROR ("Firmware
 * error: <line>").
 *
 * Only the command's own reply settles it: its "ok" (then the status query) or an "error:"
 * line (see "Replies" at the top). A status report that arrives before the "ok" may be a stale
 * one: it neither settles the command nor replaces the status that Korvane_FeedHold consults.
 * A reply line may arrive in pieces.
 *
 * Feeds are refused with 8 when they are below 1 (the feed word would read F0, which the
 * controller refuses), not finite (NaN, infinity) or 2147483648 or more, since such a feed
 * has no whole-number feed word. Positions, distances, maximum travel and homing positions
 * are refused with 8 when they are not finite: "nan" or "inf" is no value to send a machine.
 * ------------------------------------------------------------------------------------- */

/** Jogs @p axis to the absolute @p position ("$J=G90 <axis><position> F<feed>"), 500 ms. */
KORVANE_API ResultCode KORVANE_CALL Korvane_JogAbs(DeviceHandle handle, int32_t axis,
                                                   float position, float feed);

/** Jogs @p axis by @p distance ("$J=G91 <axis><distance> F<feed>"), 500 ms. */
KORVANE_API ResultCode KORVANE_CALL Korvane_JogRel(DeviceHandle handle, int32_t axis,
                                                   float distance, float feed);

/** Sets the machine position of @p axis ("$MPos=<axis><position>"), any value, 2000 ms. */
KORVANE_API ResultCode KORVANE_CALL Korvane_SetPos(DeviceHandle handle, int32_t axis,
                                                   float position);

/**
 * Sets the acceleration of @p axis ("$axes/<axis>/acceleration_mm_per_sec2=<value>"),
 * 2000 ms. A value that is not greater than zero, or not finite, is refused with 8.
 */
KORVANE_API ResultCode KORVANE_CALL Korvane_SetAcceleration(DeviceHandle handle, int32_t axis,
                                                            float acceleration);

/** Turns soft limits of @p axis on (any non-zero @p enable) or off, 2000 ms. */
KORVANE_API ResultCode KORVANE_CALL Korvane_EnableSoftLimits(DeviceHandle handle, int32_t axis,
                                                             int32_t enable);

/**
 * Sets the maximum travel, then the homing machine position of @p axis: two commands, each
 * with 2000 ms, sent without other traffic between them. The second is not sent when the
 * first fails; the result is that of the last command sent.
 */
KORVANE_API ResultCode KORVANE_CALL Korvane_SetSoftLimitRange(DeviceHandle handle, int32_t axis,
                                                              float maxTravel,
                                                              float homingPosition);

/**
 * Emergency stop. First, at once and without waiting for any call in progress, the bytes that
 * stop any motion on every controller of the family, in one write: the jog cancel 0x85 when a
 * jog may run (it ends the jog and drops the queued ones; some controllers ignore a hold while
 * jogging), then the feed hold "!" (program motion slows down and holds), then "?". Then it
 * ends velocity mode, and waits until a status report taken after those bytes shows the
 * machine neither jogging nor held in motion (see Korvane_VelocityStop for the bound). Only
 * then does it send "$ES" (1000 ms), which puts a controller that knows it into its emergency
 * state; some controllers refuse it and others take it for an ordinary command, so its answer
 * does not decide the result: the machine was stopped by the real-time bytes.
 * Not refused in velocity mode.
 *
 * @return KORVANE_SUCCESS once the machine was seen at rest, whatever "$ES" got;
 *         KORVANE_INVALID_HANDLE; KORVANE_NOT_CONNECTED;
 *         KORVANE_WRITE_FAILED when the stop bytes could not be written ("Serial write failed
 *         for jog cancel" when 0x85 was among them, else "Serial write failed"); nothing more
 *         is sent;
 *         KORVANE_TIMEOUT ("Timeout waiting for response") when no report confirmed the stop:
 *         the controller fell silent for 1000 ms, or 30 s passed.
 */
KORVANE_API ResultCode KORVANE_CALL Korvane_EmergencyStop(DeviceHandle handle);

/**
 * Feed hold: writes the real-time byte "!" at once (without waiting for any call in progress)
 * and reads no reply. While a jog may run (a jog line was accepted or is unanswered since the
 * last cancel, or a report showed Jog), the jog cancel 0x85 goes first and "?" after, in the
 * same write: some controllers ignore a hold while jogging. Nothing is written, and the result
 * is KORVANE_SUCCESS, only when the most recent status report was taken after every motion
 * command had been answered, shows Idle, and no jog may run: a report from before a motion
 * command says nothing about the motion now.
 *
 * In velocity mode (also when its worker has ended by itself but velocity mode was not
 * stopped) the hold ends velocity mode as Korvane_VelocityStop does, with "!" after the cancel:
 * a controller ends a held jog for good, and the worker must not start it again.
 * Korvane_Resume then starts nothing; call Korvane_VelocityStart to move again. The results are
 * then those of Korvane_VelocityStop.
 * @return KORVANE_SUCCESS; KORVANE_INVALID_HANDLE; KORVANE_NOT_CONNECTED;
 *         KORVANE_WRITE_FAILED ("Serial write failed").
 */
KORVANE_API ResultCode KORVANE_CALL Korvane_FeedHold(DeviceHandle handle);

/**
 * Resume: always writes the real-time byte "~" at once and reads no reply.
 * @return KORVANE_SUCCESS; KORVANE_INVALID_HANDLE; KORVANE_NOT_CONNECTED;
 *         KORVANE_WRITE_FAILED ("Serial write failed").
 */
KORVANE_API ResultCode KORVANE_CALL Korvane_Resume(DeviceHandle handle);

/* ---------------------------------------------------------------------------------------
 * Homing
 * ------------------------------------------------------------------------------------- */

/**
 * Homes one axis (0..5, "$H" + letter) or all axes (KORVANE_AXIS_ALL, "$H") and returns when
 * the cycle is over: a status report has shown Home and a later one another state. Polls
 * with "?" for up to 30 s; between its polls other calls on the connection get through (status
 * queries see Home; the reports they read count for the cycle too), and the stop bytes of
 * Korvane_FeedHold and Korvane_EmergencyStop reach the wire at once. A report may arrive in
 * pieces across the
 * 200 ms reading windows (a controller that answers no query while homing sends a single
 * Home report when the cycle ends, whenever that is). Reports before Home are passed over,
 * since the first poll may be answered before the controller read the homing command; an
 * "ALARM:" line, which a controller prints when it falls into Alarm, ends the wait at once
 * with KORVANE_FIRMWARE_ERROR and "Homing failed: alarm state: <the ALARM line>" (the input
 * was discarded just before the command, so the alarm came after it), for example "Homing
 * failed: alarm state: ALARM:9 (homing failed: no limit switch was found within the search
 * distance)". A cycle that ends in the Alarm state without such a line gives "Homing failed:
 * alarm state" alone.
 *
 * @return KORVANE_SUCCESS; KORVANE_INVALID_HANDLE; KORVANE_VELOCITY_ACTIVE;
 *         KORVANE_INVALID_ARGUMENT (axis outside -1..5); KORVANE_NOT_CONNECTED;
 *         KORVANE_WRITE_FAILED ("Serial write failed for: $H..");
 *         KORVANE_FIRMWARE_ERROR ("Homing error: <line>", or "Homing failed: alarm state"
 *         and the alarm line when the cycle ended in Alarm);
 *         KORVANE_TIMEOUT ("Homing timeout", after 30 s).
 */
KORVANE_API ResultCode KORVANE_CALL Korvane_Home(DeviceHandle handle, int32_t axis);

/* ---------------------------------------------------------------------------------------
 * Velocity mode
 * ------------------------------------------------------------------------------------- */

/**
 * Starts continuous jogging of @p axis at @p velocity (signed, feed units per minute), or
 * changes the rate when velocity mode already runs on that axis, or switches axes. A worker
 * thread keeps re-issuing relative jogs of twenty seconds of travel; it follows the machine
 * state through the status reports that the host's own queries bring in, so poll
 * Korvane_GetState or the like while velocity mode runs. The worker ends by itself on Alarm,
 * Sleep or Door or when a write fails. While velocity mode runs, jogs, settings and homing
 * are refused with 6.
 *
 * A controller queues a jog line behind the running one instead of replacing it, so a rate
 * change (by more than 0.01; smaller ones write nothing), a reversal, an axis switch and a
 * start after the worker had ended are preceded by the jog cancel 0x85 (with "?"), and the new
 * line is written only once a status report taken after that cancel shows the machine at rest:
 * a controller reads no line while it slows down. A rate change therefore takes effect after
 * the deceleration. The worker waits for the controller's verdict on each of its lines (up to
 * 500 ms); a refusal (for example a soft limit within the twenty seconds of travel) ends
 * velocity mode: the exports that refuse during velocity mode stop refusing, and the next
 * Korvane_VelocityStart or Korvane_VelocityStop returns KORVANE_FIRMWARE_ERROR with "Firmware
 * error: <the controller's line>" (a Korvane_VelocityStart that reports it starts nothing).
 * The worker re-issues a jog that has ended only on a report taken after its last line was
 * answered.
 *
 * @param velocity Magnitude at least 0.1 and below 2147483648; NaN and infinity are refused.
 * @return KORVANE_SUCCESS (returned before the first jog line is written);
 *         KORVANE_INVALID_HANDLE; KORVANE_NOT_CONNECTED;
 *         KORVANE_FIRMWARE_ERROR (a refusal that ended the previous worker, see above);
 *         KORVANE_INVALID_ARGUMENT (axis outside 0..5 or velocity out of range; a running
 *         worker keeps its target);
 *         KORVANE_RESOURCE_FAILURE ("Failed to start velocity thread").
 */
KORVANE_API ResultCode KORVANE_CALL Korvane_VelocityStart(DeviceHandle handle, int32_t axis,
                                                          float velocity);

/**
 * Ends velocity mode. The worker is told to stop, and at once, without waiting for any call
 * in progress, the jog cancel 0x85 and "?" go out in one write, when a jog may run (none is
 * written when a cancel has already ended every jog line: a second cancel at the end of a
 * deceleration leaves some controllers deaf to lines). Then the worker is joined and the stop
 * is confirmed by the controller's state, not by time: it returns once a status report taken
 * after the cancel shows the machine neither jogging nor held, and every jog line velocity mode
 * wrote has been answered, so that none can start later. A jog line that the controller
 * accepted after the cancel had acted (it was still unread when the cancel came) gets a cancel
 * of its own. A jog line still unanswered once the machine rests is taken as dropped after
 * 300 ms plus twice the slowest reply seen on the connection.
 *
 * How long a stop takes: the machine's deceleration (seen through "?" every 50 ms) plus one
 * reply time, normally; capped at 30 s, and given up when no report comes for 1000 ms. The
 * same holds for Korvane_EmergencyStop, Korvane_Disconnect, an axis switch and a feed hold in
 * velocity mode. Does nothing and returns KORVANE_SUCCESS when velocity mode was not started.
 *
 * @return KORVANE_SUCCESS; KORVANE_INVALID_HANDLE;
 *         KORVANE_WRITE_FAILED ("Serial write failed for jog cancel"; velocity mode has ended
 *         all the same);
 *         KORVANE_TIMEOUT ("Timeout waiting for response") when no report confirmed the stop;
 *         KORVANE_FIRMWARE_ERROR ("Firmware error: <line>") when the controller had refused a
 *         jog line of velocity mode, which ended it (the machine then stands).
 */
KORVANE_API ResultCode KORVANE_CALL Korvane_VelocityStop(DeviceHandle handle);

#ifdef __cplusplus
}
#endif

#endif /* KORVANE_KORVANE_H */
