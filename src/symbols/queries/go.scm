; Definitions. Later patterns win on the same name.

(type_spec name: (type_identifier) @name type: (struct_type)) @definition.struct
(type_spec name: (type_identifier) @name type: (interface_type)) @definition.interface
(type_alias name: (type_identifier) @name) @definition.type
(field_declaration name: (field_identifier) @name) @definition.field
(method_elem name: (field_identifier) @name) @definition.method
(source_file (var_declaration (var_spec name: (identifier) @name) @definition.variable))
(source_file (var_declaration (var_spec_list (var_spec name: (identifier) @name) @definition.variable)))
(const_spec name: (identifier) @name) @definition.constant
(package_clause (package_identifier) @name) @definition.module

; References.

(composite_literal type: (type_identifier) @name) @reference.new
(composite_literal type: (qualified_type name: (type_identifier) @name)) @reference.new
(qualified_type name: (type_identifier) @name) @reference.type
(type_parameter_declaration name: (identifier) @ignore)
(import_spec path: (interpreted_string_literal) @name) @reference.import
