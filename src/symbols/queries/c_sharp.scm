; Definitions. Later patterns win on the same name.

(struct_declaration name: (identifier) @name) @definition.struct
(record_declaration name: (identifier) @name) @definition.class
(enum_declaration name: (identifier) @name) @definition.enum
(enum_member_declaration name: (identifier) @name) @definition.enumerator
(delegate_declaration name: (identifier) @name) @definition.type
(constructor_declaration name: (identifier) @name) @definition.method
(property_declaration name: (identifier) @name) @definition.property
(event_declaration name: (identifier) @name) @definition.property
(field_declaration (variable_declaration (variable_declarator name: (identifier) @name))) @definition.field
(namespace_declaration name: [(identifier) (qualified_name)] @name) @definition.namespace
(file_scoped_namespace_declaration name: [(identifier) (qualified_name)] @name) @definition.namespace
(local_function_statement name: (identifier) @name) @definition.function

; References.

(invocation_expression function: (identifier) @name) @reference.call
(invocation_expression function: (member_access_expression name: (identifier) @name)) @reference.call
(object_creation_expression type: (identifier) @name) @reference.new
(object_creation_expression type: (generic_name (identifier) @name)) @reference.new
(using_directive [(identifier) (qualified_name)] @name) @reference.import
