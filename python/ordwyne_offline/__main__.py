from ordwyne_offline.cli import main

raise SystemExit(main())
