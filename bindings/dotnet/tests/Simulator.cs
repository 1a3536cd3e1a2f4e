using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Text.RegularExpressions;
using System.Threading;
using NUnit.Framework;

namespace Korvane.Tests
{
    /// <summary>One korvane-sim process on a pseudo-terminal; <see cref="Link"/> is the port
    /// name to open. KORVANE_SIM names the program.</summary>
    internal sealed class Simulator : IDisposable
    {
        private readonly Process process;
        private readonly List<string> log = new List<string>();

        internal Simulator(params string[] options)
        {
            string program = Environment.GetEnvironmentVariable("KORVANE_SIM");
            if (string.IsNullOrEmpty(program))
                Assert.Fail("KORVANE_SIM must name the korvane-sim program");
            Directory = Path.Combine(Path.GetTempPath(),
                                     "korvane-net-" + Guid.NewGuid().ToString("N"));
            System.IO.Directory.CreateDirectory(Directory);
            Link = Path.Combine(Directory, "port");
            var arguments = new List<string> { "--link", Link, "--verbose" };
            arguments.AddRange(options);
            var start = new ProcessStartInfo(program, string.Join(" ", arguments))
            {
                UseShellExecute = false,
                RedirectStandardOutput = true,
                RedirectStandardError = true,
            };
            process = Process.Start(start);
            // --verbose logs every command the simulator reads to stderr, one a line.
            process.ErrorDataReceived += (sender, e) =>
            {
                if (e.Data == null) return;
                lock (log) log.Add(Regex.Replace(e.Data, @"^\[[0-9.]+\] ", string.Empty));
            };
            process.BeginErrorReadLine();
            // The first line of stdout is the device path, printed once the link exists.
            var firstLine = process.StandardOutput.ReadLineAsync();
            if (!firstLine.Wait(10000) || string.IsNullOrEmpty(firstLine.Result))
            {
                Dispose();
                Assert.Fail("korvane-sim did not start");
            }
            Device = firstLine.Result.Trim();
        }

        /// <summary>A temporary folder of this simulator's own, removed with it.</summary>
        internal string Directory { get; private set; }

        /// <summary>The symbolic link to the device, made by the simulator.</summary>
        internal string Link { get; private set; }

        /// <summary>The pseudo-terminal the simulator serves.</summary>
        internal string Device { get; private set; }

        /// <summary>The commands the simulator has read so far, without time stamps.</summary>
        internal List<string> Received()
        {
            lock (log) return new List<string>(log);
        }

        /// <summary>The "$" commands among them: what changes the machine.</summary>
        internal List<string> Commands()
        {
            return Received().FindAll(line => line.StartsWith("$"));
        }

        /// <summary>Waits until the simulator has logged <paramref name="line"/>.</summary>
        internal void WaitForLine(string line)
        {
            Wait.For(() => Received().Contains(line), 5, "the simulator to read " + line);
        }

        /// <summary>Ends the simulator, which closes its side of the pseudo-terminal.</summary>
        internal void Stop()
        {
            if (!process.HasExited)
            {
                // SIGTERM lets it remove the link; Kill would be SIGKILL.
                using (var term = Process.Start("kill", "-TERM " + process.Id.ToString()))
                    term.WaitForExit();
                if (!process.WaitForExit(5000)) process.Kill();
            }
            process.WaitForExit();
        }

        public void Dispose()
        {
            Stop();
            process.Dispose();
            try
            {
                System.IO.Directory.Delete(Directory, true);
            }
            catch (IOException)
            {
            }
        }
    }

    internal static class Wait
    {
        /// <summary>Polls until <paramref name="condition"/> holds; fails the test after
        /// <paramref name="seconds"/>.</summary>
        internal static void For(Func<bool> condition, double seconds, string what)
        {
            var clock = Stopwatch.StartNew();
            while (!condition())
            {
                if (clock.Elapsed.TotalSeconds > seconds)
                    Assert.Fail("timed out after " + seconds + " s waiting for " + what);
                Thread.Sleep(20);
            }
        }
    }
}
