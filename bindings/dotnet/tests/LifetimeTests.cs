using System;
using System.Collections.Generic;
using System.Linq;
using System.Threading;
using NUnit.Framework;

namespace Korvane.Tests
{
    /// <summary>Who disconnects, when, and how often: Dispose, the finaliser, calls in flight
    /// on other threads.</summary>
    [TestFixture]
    public class LifetimeTests
    {
        private Simulator sim;

        [SetUp]
        public void Start()
        {
            sim = new Simulator("--homing-ms", "1500", "--uuid", "uuid-of-the-shared-one");
        }

        [TearDown]
        public void Stop()
        {
            sim.Dispose();
        }

        private static void Collect()
        {
            GC.Collect();
            GC.WaitForPendingFinalizers();
            GC.Collect();
        }

        /// <summary>Runs <paramref name="action"/> on a thread of its own that ends before
        /// this returns: the runtime scans stacks conservatively, and a reference left in a
        /// dead slot of this thread's stack could keep an object alive.</summary>
        private static void OnOwnThread(Action action)
        {
            Exception failure = null;
            var thread = new Thread(() =>
            {
                try
                {
                    action();
                }
                catch (Exception e)
                {
                    failure = e;
                }
            });
            thread.Start();
            thread.Join();
            if (failure != null) throw failure;
        }

        [Test]
        public void DisposeReleasesThePortAtOnce()
        {
            var first = Controller.Connect(sim.Link);
            Assert.Throws<KorvanePortOpenException>(() => Controller.Connect(sim.Link));
            first.Dispose();
            using (var second = Controller.Connect(sim.Link))
                Assert.AreEqual(MachineState.Idle, second.GetState());
            Collect();  // the disposed one's finaliser must not disconnect again
            using (var third = Controller.Connect(sim.Link))
                Assert.AreEqual(MachineState.Idle, third.GetState());
        }

        [Test]
        public void TheFinaliserDisconnectsAForgottenController()
        {
            var forgotten = new WeakReference(null);
            OnOwnThread(() =>
            {
                var ctl = Controller.Connect(sim.Link);
                ctl.SetPosition(Axis.X, 7f);
                forgotten.Target = ctl;
            });
            // Still reachable through nothing but not yet collected: the port is held.
            Assert.Throws<KorvanePortOpenException>(() => Controller.Connect(sim.Link));
            Collect();
            Assert.IsFalse(forgotten.IsAlive);
            using (var again = Controller.Connect(sim.Link))
                Assert.AreEqual(7f, again.GetPositions()[0]);
        }

        [Test]
        public void TheFinaliserEndsVelocityModeOfAForgottenController()
        {
            OnOwnThread(() =>
            {
                var ctl = Controller.Connect(sim.Link);
                ctl.StartVelocity(Axis.Y, 600f);
                Wait.For(() => ctl.GetState() == MachineState.Jog, 5, "velocity mode to jog");
            });
            Collect();
            sim.WaitForLine("0x85 (jog cancel)");
            using (var again = Controller.Connect(sim.Link))
            {
                Assert.AreEqual(MachineState.Idle, again.GetState());
                float y = again.GetPositions()[1];
                Thread.Sleep(300);
                Assert.AreEqual(y, again.GetPositions()[1]);
            }
        }

        [Test]
        public void DisposeDuringAnotherThreadsCallDisconnectsWhenThatCallReturns()
        {
            var ctl = Controller.Connect(sim.Link);
            Exception homingFailure = null;
            var homing = new Thread(() =>
            {
                try
                {
                    ctl.Home(Axis.X);
                }
                catch (Exception e)
                {
                    homingFailure = e;
                }
            });
            homing.Start();
            Wait.For(() => ctl.GetState() == MachineState.Home, 5, "the homing cycle to start");
            ctl.Dispose();
            Assert.IsTrue(ctl.IsDisposed);
            Assert.Throws<KorvaneNotConnectedException>(() => ctl.GetState());
            // The homing call still holds the connection, so the port is still open.
            Assert.IsTrue(homing.IsAlive);
            Assert.Throws<KorvanePortOpenException>(() => Controller.Connect(sim.Link));
            Assert.IsTrue(homing.Join(TimeSpan.FromSeconds(30)));
            Assert.IsNull(homingFailure);
            using (var again = Controller.Connect(sim.Link))
                Assert.AreEqual(MachineState.Idle, again.GetState());
        }

        [Test]
        public void TwoThreadsShareOneConnection()
        {
            using (var ctl = Controller.Connect(sim.Link))
            {
                var failures = new List<Exception>();
                int queries = 0;
                bool settingsDone = false;
                var poller = new Thread(() =>
                {
                    try
                    {
                        while (!Volatile.Read(ref settingsDone))
                        {
                            Assert.AreEqual(6, ctl.GetPositions().Length);
                            Assert.AreNotEqual(MachineState.Unknown, ctl.GetState());
                            Interlocked.Increment(ref queries);
                        }
                    }
                    catch (Exception e)
                    {
                        lock (failures) failures.Add(e);
                    }
                });
                poller.Start();
                try
                {
                    for (int i = 1; i <= 20; ++i)
                    {
                        ctl.SetPosition(Axis.Z, i);
                        Assert.AreEqual("uuid-of-the-shared-one", ctl.GetDeviceUuid());
                    }
                }
                finally
                {
                    Volatile.Write(ref settingsDone, true);
                    poller.Join();
                }
                CollectionAssert.IsEmpty(failures);
                Assert.Greater(queries, 0);
                Assert.AreEqual(20f, ctl.GetPositions()[2]);
                sim.WaitForLine("$MPos=z20.000");
                var sets = sim.Commands().FindAll(line => line.StartsWith("$MPos=z"));
                Assert.AreEqual(Enumerable.Range(1, 20).Select(i => "$MPos=z" + i + ".000"), sets);
            }
        }
    }
}
