using System.Collections.Generic;

namespace Sample.Store
{
    public interface IStore { void Save(); }

    public class Store : IStore
    {
        private int count;
        public string Name { get; set; }

        public Store() { items = new List<int>(); } // not_called()

        public void Save() { Flush("not_called()"); }
    }

    public enum Kind { One, Two }
}
